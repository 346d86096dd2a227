// The command route's entry point. Until the command set is in place no
// command type is allowed.

#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/server/DeckError.h"

namespace veltrane::deck {

HTTPResponse DeckRuntime::dispatchCommand(const std::string& body, const AuthContext&) {
    std::optional<Json> json = JSON::parse(body);
    if (!json || !json->is_object()) throw DeckError::malformedPayload();
    const Json* type = JSON::member(*json, "type");
    if (type == nullptr || !type->is_string() || type->get<std::string>().empty()) throw DeckError::malformedPayload();
    throw DeckError::invalidActionType(type->get<std::string>());
}

}  // namespace veltrane::deck
