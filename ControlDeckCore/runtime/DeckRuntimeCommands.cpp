// Entry points of the remote commands, the WebSocket channel and the
// mirroring route. Until the command set and the channel are in place they
// answer as a server without them would: no command is allowed, sockets are
// closed, mirroring is not offered.

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

void DeckRuntime::handleWS(const HTTPRequest&, std::shared_ptr<WebSocket> socket) { socket->close(1000); }

HTTPResponse DeckRuntime::mirroringRoute(const HTTPRequest&, const AuthContext&) { throw DeckError::notFound(); }

}  // namespace veltrane::deck
