#pragma once

namespace veltrane::sys {

// Every program of ours calls this first: a write to a closed pipe or socket
// must fail with EPIPE, not kill the process.
void ignoreSigpipe();

// Raises the soft limit on open descriptors to the hard one, so that a server
// can hold as many connections as it admits (desktop sessions often start
// with a soft limit of 1,024, which a full connection table alone would use
// up). Returns the soft limit in force afterwards.
unsigned long raiseDescriptorLimit();

}  // namespace veltrane::sys
