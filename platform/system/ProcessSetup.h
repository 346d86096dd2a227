#pragma once

namespace veltrane::sys {

// Every program of ours calls this first: a write to a closed pipe or socket
// must fail with EPIPE, not kill the process.
void ignoreSigpipe();

}  // namespace veltrane::sys
