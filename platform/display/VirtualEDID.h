#pragma once
// The EDID block a virtual display announces itself with, so desktop tools
// show its name, maker codes and physical size as they would a monitor's.

#include <string>

#include "platform/display/VirtualDisplaySystem.h"

namespace veltrane::display {

inline constexpr std::size_t kEDIDBlockLength = 128;
// EDID's monitor-name field holds 13 characters; longer names are cut.
inline constexpr std::size_t kEDIDNameLength = 13;

// A 128-byte EDID 1.4 base block: vendor, product and serial codes, the size
// in whole centimetres, the name, and range limits wide enough for any mode
// up to the descriptor's maximum at 60 Hz.
std::string virtualDisplayEDID(const VirtualDisplayDescriptor& descriptor);

}  // namespace veltrane::display
