#pragma once

#include <string>

namespace veltrane::sys {

// A random (version 4) UUID as 36 upper-case characters, 8-4-4-4-12.
std::string uuidString();

}  // namespace veltrane::sys
