#include "helpers/mirabeck/InfoValues.h"

#include <cmath>

#include "platform/text/Whitespace.h"

namespace veltrane::mirabeck {

namespace {
const mpris::InfoValue* lookup(const InfoDictionary& info, std::string_view key) {
    auto it = info.find(key);
    return it == info.end() ? nullptr : &it->second;
}
}  // namespace

std::optional<std::string> str(const InfoDictionary* info, Keys keys) {
    if (!info) return std::nullopt;
    for (auto key : keys) {
        const auto* value = lookup(*info, key);
        const auto* text = value ? std::get_if<std::string>(value) : nullptr;
        if (!text) continue;
        const auto trimmed = text::trimmingWhitespaceAndNewlines(*text);
        if (!trimmed.empty()) return std::string(trimmed);
    }
    return std::nullopt;
}

std::optional<bool> flag(const InfoDictionary* info, Keys keys) {
    if (!info) return std::nullopt;
    for (auto key : keys) {
        const auto* value = lookup(*info, key);
        if (!value) continue;
        if (const auto* b = std::get_if<bool>(value)) return *b;
        if (const auto* i = std::get_if<std::int64_t>(value)) return *i != 0;
        if (const auto* d = std::get_if<double>(value)) return *d != 0;
    }
    return std::nullopt;
}

double num(const InfoDictionary* info, Keys keys) {
    if (!info) return 0;
    for (auto key : keys) {
        const auto* value = lookup(*info, key);
        if (!value) continue;
        if (const auto* i = std::get_if<std::int64_t>(value)) return static_cast<double>(*i);
        if (const auto* d = std::get_if<double>(value); d && std::isfinite(*d)) return *d;
    }
    return 0;
}

}  // namespace veltrane::mirabeck
