#pragma once
// Laptop panel backlights as the kernel shows them in /sys/class/backlight.
// The root folder is a parameter so tests can lay out their own devices.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace veltrane::display {

struct BacklightDevice {
    std::string name;                 // the device folder, e.g. "intel_backlight"
    std::string type;                 // "firmware", "platform" or "raw"
    std::uint32_t brightness = 0;     // the level last set
    std::uint32_t maxBrightness = 0;  // never 0 for a listed device
};

class Backlight {
public:
    static constexpr const char* kSystemRoot = "/sys/class/backlight";

    explicit Backlight(std::filesystem::path root = kSystemRoot) : root_(std::move(root)) {}

    // Readable devices with a usable maximum, by name.
    std::vector<BacklightDevice> devices() const;

    // The device that drives the built-in panel: firmware interfaces first,
    // then platform drivers, then raw GPU registers (the order desktops use,
    // since the firmware one is the one wired to the panel).
    std::optional<BacklightDevice> panel() const;

    // Writes the "brightness" file of the named device. False when the device
    // is unknown, the name is not a single folder name or the write failed.
    bool write(const std::string& name, std::uint32_t value) const;

private:
    std::filesystem::path root_;
};

}  // namespace veltrane::display
