#include "ControlDeckCore/data/CustomActionDef.h"

#include "ControlDeckCore/shared/Decoding.h"

namespace veltrane::deck {

CustomActionDef CustomActionDef::decode(const Json& json) {
    KeyedDecoder keys(json);
    return {
        keys.decode<std::string>("id"),
        keys.decode<std::string>("title"),
        keys.decode<std::string>("icon"),
        keys.decode<std::string>("commandType"),
        keys.decode<JSONValue::Object>("payload"),
    };
}

Json CustomActionDef::encode() const {
    return Json{
        {"id", id},
        {"title", title},
        {"icon", icon},
        {"commandType", commandType},
        {"payload", JSONValue(payload).any()},
    };
}

}  // namespace veltrane::deck
