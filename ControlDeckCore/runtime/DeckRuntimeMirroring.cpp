// The mirroring request: a paired tablet asks to watch the screen.

#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/dispatch/MainQueue.h"

namespace veltrane::deck {

HTTPResponse DeckRuntime::mirroringRoute(const HTTPRequest& request, const AuthContext& auth) {
    VeltraneLink& link = veltraneLink();
    if (std::optional<std::string> error = link.error()) throw DeckError::invalidState(*error);
    if (!link.ready()) {
        // The application starts the sender; the tablet asks again for its ticket.
        std::weak_ptr<DeckRuntime> weak = weak_from_this();
        dispatch::MainQueue::shared().async([weak] {
            auto self = weak.lock();
            if (!self) return;
            if (MirroringCallback callback = self->onMirroringRequest()) callback();
        });
        return HTTPResponse::ok(Json{{"status", "starting"}});
    }
    const std::string ticket = link.issue(auth.deviceId, request.remoteHost, allDevicesOnQueue());
    return HTTPResponse::ok(Json{{"status", "ready"}, {"port", link.port()}, {"ticket", ticket}});
}

}  // namespace veltrane::deck
