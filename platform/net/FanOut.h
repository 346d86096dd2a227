#pragma once
// Work spread over the network threads for the length of one call.

#include <cstddef>
#include <functional>

namespace veltrane::net {

// Calls `body(i)` once for every i in [0, count) and returns when every call
// has returned. The caller works through slices of `slice` indices itself
// while idle network threads take the others, so the calls run side by side;
// a network thread that comes too late finds nothing left, and the caller
// never waits for one that has not started. Calls run in no particular order
// and must not throw; `body` must be safe to run on several threads at once.
void fanOut(std::size_t count, std::size_t slice, const std::function<void(std::size_t)>& body);

}  // namespace veltrane::net
