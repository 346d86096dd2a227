#include "ControlDeckCore/adapters/MacBrightnessAdapter.h"

#include <cmath>

#include "ControlDeckCore/shared/DecimalText.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/dbus/Logind.h"

namespace veltrane::deck {

namespace {
constexpr const char* kSubsystem = "backlight";
}

MacBrightnessAdapter::MacBrightnessAdapter() { host_.setThroughSession = dbus::Logind::setBrightness; }

std::vector<DisplayOutput> MacBrightnessAdapter::displays() {
    auto outputs = host_.outputs();
    if (!outputs) return {};
    const auto panel = host_.backlight.panel();
    std::vector<DisplayOutput> displays;
    for (std::size_t i = 0; i < outputs->size(); ++i) {
        const auto& output = (*outputs)[i];
        DisplayOutput d;
        d.id = std::to_string(output.id);
        d.name = !output.monitorName.empty() ? output.monitorName
                 : i == 0                    ? "Built-in Display"
                                             : "Display " + std::to_string(i + 1);
        d.brightness = output.builtin && panel ? static_cast<double>(panel->brightness) / panel->maxBrightness
                                               : kUnknownBrightness;
        d.builtin = output.builtin;
        displays.push_back(std::move(d));
    }
    return displays;
}

void MacBrightnessAdapter::setBrightness(double level, const std::string& displayId) {
    auto number = parseUnsignedDecimal(displayId, UINT32_MAX);
    if (!number) throw DeckError::notFound();
    const double clamped = clampedLevel(level);

    // Only a built-in panel has a backlight we can drive.
    auto outputs = host_.outputs();
    bool builtin = false;
    if (outputs)
        for (const auto& output : *outputs)
            if (output.id == *number) builtin = output.builtin;
    auto panel = builtin ? host_.backlight.panel() : std::nullopt;
    if (!panel) throw DeckError::permissionDenied("Display brightness");

    const auto value = static_cast<std::uint32_t>(std::lround(clamped * panel->maxBrightness));
    if (host_.setThroughSession && host_.setThroughSession(kSubsystem, panel->name, value)) return;
    if (host_.backlight.write(panel->name, value)) return;
    throw DeckError::permissionDenied("Display brightness");
}

}  // namespace veltrane::deck
