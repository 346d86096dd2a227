#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ControlDeckCore/data/DeckPage.h"
#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

// The dashboard a paired tablet shows: pages of widgets on a grid 12 columns
// wide, and the page to open first. Stored as layout.json.
struct LayoutDocument {
    static constexpr std::int64_t gridColumns = 12;
    // Bounds that sanitized() puts on every widget.
    static constexpr std::int64_t maxTopRow = 40;
    static constexpr std::int64_t minWidth = 2;
    static constexpr std::int64_t maxWidth = 12;
    static constexpr std::int64_t minHeight = 2;
    static constexpr std::int64_t maxHeight = 8;

    static constexpr std::array<std::string_view, 16> knownWidgetTypes = {
        "volume", "media", "launcher", "system", "network", "screenshot", "lock", "links",
        "quicklinks", "timer", "clipboard", "actions", "custom-actions", "displays", "files", "connection",
    };
    static bool isKnownWidgetType(std::string_view type);

    std::int64_t version = 1;
    std::vector<DeckPage> pages;
    std::string activePageId;

    // The built-in layout: pages "media", "school" and "system", the last
    // active.
    static LayoutDocument makeDefault();

    // The normalised copy every layout from outside goes through: known
    // widget types only, geometry clamped, legacy "home" pages dropped, a
    // connection widget somewhere, a valid active page, system pages last,
    // version 1. Empty ids get new UUIDs.
    LayoutDocument sanitized() const;

    // A client's layout: decoded and sanitised. Anything that is not a
    // decodable layout throws DeckError::malformedPayload.
    static LayoutDocument parseRequest(std::string_view data);
    // A stored layout: missing, empty or undecodable bytes give the default.
    static LayoutDocument recover(const std::optional<std::string>& data);

    // Every key optional: version 1, no pages, and the first page's id (or
    // "home") when absent or null. Pages and widgets need all their keys.
    static LayoutDocument decode(const Json& json);
    Json encode() const;

    bool operator==(const LayoutDocument&) const = default;
};

}  // namespace veltrane::deck
