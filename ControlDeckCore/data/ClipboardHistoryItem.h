#pragma once

#include <string>

#include "ControlDeckCore/shared/ISO8601.h"
#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

// One entry of clipboard-history.json (a list, newest first).
struct ClipboardHistoryItem {
    std::string id;
    std::string text;
    Date createdAt;

    // Every key required; createdAt is an ISO 8601 text.
    static ClipboardHistoryItem decode(const Json& json);
    Json encode() const;

    bool operator==(const ClipboardHistoryItem&) const = default;
};

}  // namespace veltrane::deck
