#pragma once

#include <string>
#include <vector>

namespace veltrane::sys {

// The numeric IPv4 addresses of every interface that is up and not loopback,
// in the system's own order (an address may repeat). Empty when the list
// cannot be read. Keeps no state; safe on any thread.
std::vector<std::string> ipv4Addresses();

}  // namespace veltrane::sys
