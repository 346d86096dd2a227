#include "ControlDeckCore/data/WidgetInstance.h"

#include "ControlDeckCore/shared/Decoding.h"

namespace veltrane::deck {

WidgetInstance WidgetInstance::decode(const Json& json) {
    KeyedDecoder keys(json);
    return {
        keys.decode<std::string>("id"),
        keys.decode<std::string>("type"),
        keys.decode<std::int64_t>("x"),
        keys.decode<std::int64_t>("y"),
        keys.decode<std::int64_t>("w"),
        keys.decode<std::int64_t>("h"),
        keys.decode<JSONValue::Object>("settings"),
    };
}

Json WidgetInstance::encode() const {
    return Json{
        {"id", id}, {"type", type}, {"x", x}, {"y", y}, {"w", w}, {"h", h}, {"settings", JSONValue(settings).any()},
    };
}

}  // namespace veltrane::deck
