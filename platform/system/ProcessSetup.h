#pragma once

#include <cstddef>
#include <optional>

namespace veltrane::sys {

// Every program of ours calls this first: a write to a closed pipe or socket
// must fail with EPIPE, not kill the process.
void ignoreSigpipe();

// Freed memory at the top of the heap is kept (up to 32 MiB) for the next
// allocation instead of going back to the kernel at once: a lookup's answer
// and its parsed JSON free a few hundred KB per request, and returning and
// faulting those pages in again each time cost more than the request itself.
void keepFreedHeapMemory();

// How many descriptors this process may have open (its soft limit); nullopt
// when there is no limit or it cannot be read.
std::optional<std::size_t> descriptorLimit();

// Raises the soft descriptor limit to `wanted`, or as far toward it as the
// hard limit allows; never lowers it. The limit in force afterwards.
std::optional<std::size_t> raiseDescriptorLimit(std::size_t wanted);

}  // namespace veltrane::sys
