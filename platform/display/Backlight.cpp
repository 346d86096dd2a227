#include "platform/display/Backlight.h"

#include <algorithm>
#include <charconv>
#include <fstream>

namespace veltrane::display {
namespace fs = std::filesystem;
namespace {

std::optional<std::string> firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

std::optional<std::uint32_t> number(const fs::path& file) {
    auto line = firstLine(file);
    if (!line) return std::nullopt;
    std::uint32_t value = 0;
    auto [end, error] = std::from_chars(line->data(), line->data() + line->size(), value);
    if (error != std::errc() || end == line->data()) return std::nullopt;
    return value;
}

int typeRank(const std::string& type) {
    if (type == "firmware") return 0;
    if (type == "platform") return 1;
    if (type == "raw") return 2;
    return 3;
}

bool isFolderName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace

std::vector<BacklightDevice> Backlight::devices() const {
    std::vector<BacklightDevice> devices;
    std::error_code error;
    for (fs::directory_iterator it(root_, error), end; !error && it != end; it.increment(error)) {
        BacklightDevice device;
        device.name = it->path().filename().string();
        auto brightness = number(it->path() / "brightness");
        auto max = number(it->path() / "max_brightness");
        if (!brightness || !max || *max == 0) continue;
        device.brightness = std::min(*brightness, *max);
        device.maxBrightness = *max;
        device.type = firstLine(it->path() / "type").value_or("");
        devices.push_back(std::move(device));
    }
    std::sort(devices.begin(), devices.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return devices;
}

std::optional<BacklightDevice> Backlight::panel() const {
    auto all = devices();
    auto best = std::min_element(all.begin(), all.end(),
                                 [](const auto& a, const auto& b) { return typeRank(a.type) < typeRank(b.type); });
    if (best == all.end()) return std::nullopt;
    return *best;
}

bool Backlight::write(const std::string& name, std::uint32_t value) const {
    if (!isFolderName(name)) return false;
    std::error_code error;
    if (!fs::is_regular_file(root_ / name / "brightness", error)) return false;
    std::ofstream out(root_ / name / "brightness", std::ios::out | std::ios::trunc);
    if (!out) return false;
    out << value << '\n';
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace veltrane::display
