// The WebSocket channel: registering upgraded sockets, authenticating them
// at the upgrade or by "hello", and the messages they exchange.

#include <algorithm>

#include "ControlDeckCore/runtime/DeckCommand.h"
#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/shared/DeckError.h"

namespace veltrane::deck {

namespace {

Json errorObject(const std::string& code, const std::string& message) {
    return Json{{"code", code}, {"message", message}};
}

Json errorMessage(const std::string& code, const std::string& message) {
    return Json{{"type", "error"}, {"error", errorObject(code, message)}};
}

Json failedResult(const std::string& code, const std::string& message) {
    return Json{{"type", "command_result"}, {"ok", false}, {"error", errorObject(code, message)}};
}

}  // namespace

void DeckRuntime::handleWS(const HTTPRequest& request, std::shared_ptr<WebSocket> socket) {
    std::optional<std::string> token = request.bearer();
    if (!token) {
        auto session = request.query.find("session");
        if (session != request.query.end()) token = session->second;
    }
    std::weak_ptr<DeckRuntime> weak = weak_from_this();
    std::weak_ptr<WebSocket> weakSocket = socket;
    // The pairing store belongs to the runtime queue, so the token is checked
    // inside the queued registration. Messages are queued after it.
    queue_->async([weak, socket, token] {
        if (auto self = weak.lock()) self->onQueue([&] { self->registerSocket(socket, token); });
    });
    socket->onText = [weak, weakSocket](const std::string& text) {
        auto self = weak.lock();
        if (!self) return;
        self->queue_->async([weak, weakSocket, text] {
            auto runtime = weak.lock();
            auto ws = weakSocket.lock();
            if (runtime && ws) runtime->onQueue([&] { runtime->handleWSText(ws.get(), text); });
        });
    };
    auto removeEntry = [weak, weakSocket] {
        auto self = weak.lock();
        if (!self) return;
        self->queue_->async([weak, weakSocket] {
            auto runtime = weak.lock();
            // A registered socket is kept alive by its entry, so a socket that
            // is gone has no entry left to remove.
            auto ws = weakSocket.lock();
            if (!runtime || !ws) return;
            runtime->onQueue([&] {
                auto it = runtime->clients_.find(ws.get());
                if (it != runtime->clients_.end() && it->second.ws == ws) runtime->clients_.erase(it);
            });
        });
    };
    socket->onClose = removeEntry;
    // A peer that left before the callback was in place would otherwise leave
    // its entry behind.
    if (socket->closed()) removeEntry();
}

void DeckRuntime::registerSocket(const std::shared_ptr<WebSocket>& socket, const std::optional<std::string>& token) {
    if (token) {
        try {
            AuthContext auth = pairing_.authenticate(token);
            clients_[socket.get()] = WSClient{socket, auth.deviceId, true, std::nullopt};
            socket->send(stateMessageText());
            return;
        } catch (const std::exception&) {
            // A token that fails at the upgrade is no error: the socket starts
            // unauthenticated and may still say "hello".
        }
    }
    const auto waiting = std::count_if(clients_.begin(), clients_.end(),
                                       [](const auto& entry) { return !entry.second.sessionAuthed; });
    if (static_cast<std::size_t>(waiting) >= waitingLimits_.maxWaiting) {
        socket->close(kCloseTryAgainLater);
        return;
    }
    clients_[socket.get()] = WSClient{socket, "", false, std::nullopt};
    // A socket that never authenticates would otherwise hold its descriptor
    // for ever.
    std::weak_ptr<DeckRuntime> weak = weak_from_this();
    std::weak_ptr<WebSocket> weakSocket = socket;
    queue_->asyncAfter(waitingLimits_.grace, [weak, weakSocket] {
        auto runtime = weak.lock();
        auto ws = weakSocket.lock();
        if (!runtime || !ws) return;
        runtime->onQueue([&] {
            auto it = runtime->clients_.find(ws.get());
            if (it == runtime->clients_.end() || it->second.ws != ws || it->second.sessionAuthed) return;
            runtime->clients_.erase(it);
            ws->close(kClosePolicy);
        });
    });
}

void DeckRuntime::handleWSText(const WebSocket* id, const std::string& text) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    std::shared_ptr<WebSocket> ws = it->second.ws;

    std::optional<Json> message = JSON::parse(text);
    if (!message || !message->is_object()) {
        ws->sendJSON(errorMessage("malformed_payload", "Invalid WebSocket frame."));
        return;
    }
    const Json* typeValue = JSON::member(*message, "type");
    const std::string type = typeValue && typeValue->is_string() ? typeValue->get<std::string>() : std::string();

    if (type == "hello") {
        const Json* session = JSON::member(*message, "session");
        const std::string token = session && session->is_string() ? session->get<std::string>() : std::string();
        try {
            AuthContext auth = pairing_.authenticate(token);
            it->second = WSClient{ws, auth.deviceId, true, std::nullopt};
            ws->send(stateMessageText());
        } catch (const DeckError& error) {
            ws->sendJSON(errorMessage(error.code(), error.message()));
            ws->close(kClosePolicy);
        } catch (const std::exception&) {
            ws->close(kClosePolicy);
        }
        return;
    }
    if (type == "ping") {
        const Json* t = JSON::member(*message, "t");
        ws->sendJSON(Json{{"type", "pong"}, {"t", t ? *t : Json(nullptr)}});
        return;
    }
    if (!it->second.sessionAuthed) {
        ws->sendJSON(errorMessage("unpaired", "Authenticate first."));
        return;
    }
    if (type != "command") return;

    auto loseTrust = [&] {
        it->second.sessionAuthed = false;
        ws->close(kClosePolicy);
    };
    const auto& devices = pairing_.devices();
    auto device = devices.find(it->second.deviceId);
    if (device == devices.end() || device->second.revoked) {
        loseTrust();
        return;
    }
    const Json* payload = JSON::member(*message, "payload");
    const Json& commandObject = payload && payload->is_object() ? *payload : *message;
    Json result;
    try {
        result = execute(DeckCommand::parse(commandObject));
    } catch (const DeckError& error) {
        if (error.kind() == DeckError::Case::unauthorized || error.kind() == DeckError::Case::revoked) {
            loseTrust();
            return;
        }
        ws->sendJSON(failedResult(error.code(), error.message()));
        return;
    } catch (const std::exception& error) {
        ws->sendJSON(failedResult("invalid_state", error.what()));
        return;
    }
    ws->sendJSON(Json{{"type", "command_result"}, {"ok", true}, {"data", std::move(result)}});
    broadcastState();
}

void DeckRuntime::setWaitingSocketLimits(WaitingSocketLimits limits) {
    onQueue([&] { waitingLimits_ = limits; });
}

}  // namespace veltrane::deck
