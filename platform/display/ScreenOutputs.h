#pragma once
// The displays that the display server drives (XRandR underneath).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::display {

struct ScreenOutput {
    std::uint32_t id = 0;     // the XRandR output id
    std::string connector;    // "eDP-1", "HDMI-1", ...
    std::string monitorName;  // the monitor's own name from its EDID; empty when it has none
    bool builtin = false;     // a laptop panel connector (eDP, LVDS, DSI)
};

struct ScreenOutputs {
    // Connected outputs that show a picture, the primary one first; none when
    // no display server is reachable.
    static std::optional<std::vector<ScreenOutput>> list();

    static bool isBuiltinConnector(std::string_view connector);

    // The monitor name descriptor (tag 0xFC) of an EDID block, trimmed; empty
    // when the block is not an EDID or has no name.
    static std::string edidMonitorName(std::string_view edid);
};

}  // namespace veltrane::display
