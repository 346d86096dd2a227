#pragma once
// Where one RandR output shows on the root window.

#include <cstdint>
#include <optional>

#include "platform/x11/WindowList.h"
#include "platform/x11/X11Connection.h"

namespace veltrane::display {

// The rectangle of the CRTC that drives output `outputID`; empty when there is
// no such output, it is off, or the connection is lost.
std::optional<x11::Rect> outputBounds(x11::X11Connection& connection, std::uint32_t outputID);

}  // namespace veltrane::display
