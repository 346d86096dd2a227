#pragma once

#include <string>

#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/shared/JSONValue.h"

namespace veltrane::deck {

// One user-defined dashboard action of actions.json (a list, in the user's
// order): a command to run with its arguments.
struct CustomActionDef {
    std::string id;
    std::string title;
    std::string icon;
    std::string commandType;
    JSONValue::Object payload;

    // Every key required; payload must be an object ({} is fine).
    static CustomActionDef decode(const Json& json);
    Json encode() const;

    bool operator==(const CustomActionDef&) const = default;
};

}  // namespace veltrane::deck
