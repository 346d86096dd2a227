#pragma once

#include <string>
#include <vector>

#include "ControlDeckCore/data/WidgetInstance.h"
#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

// One dashboard page: its widgets in display order.
struct DeckPage {
    std::string id;
    std::string name;
    std::vector<WidgetInstance> widgets;

    // Every key required.
    static DeckPage decode(const Json& json);
    Json encode() const;

    bool operator==(const DeckPage&) const = default;
};

}  // namespace veltrane::deck
