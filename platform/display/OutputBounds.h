#pragma once
// Where one RandR output shows on the root window.

#include <cstdint>
#include <optional>

#include "platform/x11/WindowList.h"

namespace veltrane::display {

// The rectangle of the CRTC that drives output `outputID`; empty when there is
// no such output, it is off, or no display server is reachable.
std::optional<x11::Rect> outputBounds(std::uint32_t outputID);

}  // namespace veltrane::display
