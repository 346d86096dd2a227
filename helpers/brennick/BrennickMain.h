#pragma once

namespace veltrane::brennick {

// The program: parses the option, starts a session, feeds it control bytes
// from standard input and ends it on SIGINT or SIGTERM (status 0), on a
// failure it reports (status 1) or when the reader of its packets is gone
// (the streams are put back first, then SIGPIPE ends it).
int brennickMain(int argc, char** argv);

}  // namespace veltrane::brennick
