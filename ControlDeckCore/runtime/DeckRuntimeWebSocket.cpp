// The WebSocket channel's entry point. Until the channel is in place an
// upgraded socket is closed at once.

#include "ControlDeckCore/runtime/DeckRuntime.h"

namespace veltrane::deck {

void DeckRuntime::handleWS(const HTTPRequest&, std::shared_ptr<WebSocket> socket) {
    socket->close(WebSocket::kNormalClosure);
}

}  // namespace veltrane::deck
