#pragma once

#include <cstdint>
#include <string>

#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/shared/JSONValue.h"

namespace veltrane::deck {

// One widget on a page's grid (12 columns): columns x to x + w - 1, rows y
// to y + h - 1.
struct WidgetInstance {
    std::string id;
    std::string type;
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t w = 0;
    std::int64_t h = 0;
    JSONValue::Object settings;  // the widget's own, opaque to the server

    // Every key required.
    static WidgetInstance decode(const Json& json);
    Json encode() const;

    bool operator==(const WidgetInstance&) const = default;
};

}  // namespace veltrane::deck
