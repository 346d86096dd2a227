#pragma once

#include <string>
#include <vector>

namespace veltrane::net {

// The IPv4 addresses of interfaces that are up and not loopback, as numeric
// text, in the system's own order (an interface with several addresses gives
// each; duplicates are kept). Empty when the list cannot be read.
std::vector<std::string> ipv4AddressesOfUpInterfaces();

}  // namespace veltrane::net
