// The request handler and the REST route table.

#include <stdexcept>

#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/runtime/RequestBody.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/server/http/PercentEncoding.h"

namespace veltrane::deck {

namespace {

constexpr std::string_view kAppsPrefix = "/api/apps/";
constexpr std::string_view kIconSuffix = "/icon";
constexpr std::string_view kScreenshotsPrefix = "/api/screenshots/";
constexpr std::string_view kDevicesPrefix = "/api/devices/";
constexpr const char* kGenericFailure = "The Mac could not complete that action.";

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool isIconPath(const std::string& path) { return startsWith(path, kAppsPrefix) && endsWith(path, kIconSuffix); }

HTTPResponse stopping() { return HTTPResponse::text(503, "stopping"); }

}  // namespace

std::function<HTTPServer::Handler> DeckRuntime::requestHandler(std::weak_ptr<DeckRuntime> runtime) {
    return [runtime](const HTTPRequest& request) -> HTTPResponse {
        std::shared_ptr<DeckRuntime> self = runtime.lock();
        if (!self) return stopping();
        try {
            if (request.method == "GET" && isIconPath(request.path)) return self->iconResponse(request);
            return self->handle(request);
        } catch (const std::exception&) {
            // The runtime queue is shutting down under the request.
            return stopping();
        }
    };
}

HTTPResponse DeckRuntime::handle(const HTTPRequest& request) {
    if (request.method == "OPTIONS" || (request.method == "GET" && request.path == "/api/health"))
        return answerWithoutQueue(request);
    return onQueue([&] {
        try {
            return route(request);
        } catch (const DeckError& error) {
            return HTTPResponse::err(error);
        } catch (const std::exception& error) {
            log(std::string("handler error: ") + error.what());
            return HTTPResponse::err(DeckError::invalidState(kGenericFailure));
        }
    });
}

HTTPResponse DeckRuntime::answerWithoutQueue(const HTTPRequest& request) const {
    if (request.method == "OPTIONS") return HTTPResponse{204, {}, {}};
    return healthRoute();
}

std::string DeckRuntime::iconIdFromPath(const std::string& path) {
    if (path.size() <= kAppsPrefix.size() + kIconSuffix.size()) return {};
    std::string raw = path.substr(kAppsPrefix.size(), path.size() - kAppsPrefix.size() - kIconSuffix.size());
    return removingPercentEncoding(raw).value_or(raw);
}

HTTPResponse DeckRuntime::iconResponse(const HTTPRequest& request) {
    try {
        onQueue([&] { authenticate(request); });
    } catch (const DeckError& error) {
        return HTTPResponse::err(error);
    } catch (const std::exception& error) {
        return HTTPResponse::err(DeckError::invalidState(error.what()));
    }
    // Rendered off the runtime queue: only the session check holds it.
    try {
        return renderIcon(request.path);
    } catch (const DeckError& error) {
        return HTTPResponse::err(error);
    } catch (const std::exception& error) {
        log(std::string("handler error: ") + error.what());
        return HTTPResponse::err(DeckError::invalidState(kGenericFailure));
    }
}

HTTPResponse DeckRuntime::renderIcon(const std::string& path) {
    std::optional<PNGData> png = withApps([&](AppLaunching& apps) { return apps.iconPNG(iconIdFromPath(path)); });
    if (!png) throw DeckError::notFound();
    return HTTPResponse::bytes(200, std::move(*png), "image/png");
}

AuthContext DeckRuntime::authenticate(const HTTPRequest& request) { return pairing_.authenticate(request.bearer()); }

HTTPResponse DeckRuntime::route(const HTTPRequest& request) {
    const std::string& method = request.method;
    const std::string& path = request.path;
    const bool get = method == "GET", post = method == "POST", put = method == "PUT", del = method == "DELETE",
               patch = method == "PATCH";

    if (method == "OPTIONS") return HTTPResponse{204, {}, {}};
    if (get && path == "/api/health") return healthRoute();
    if (get && path == "/api/pairing/info") return pairingInfoRoute();
    if (post && path == "/api/pairing/begin") throw DeckError::unauthorized();
    if (get && path == "/api/pairing/qr.png") throw DeckError::notFound();
    if (post && path == "/api/pairing/request") return pairingRequestRoute(request);
    if (get && path == "/api/pairing/wait") return pairingWaitRoute(request);
    if (post && path == "/api/pairing/approve") return pairingAnswerRoute(request, true);
    if (post && path == "/api/pairing/deny") return pairingAnswerRoute(request, false);
    if (post && path == "/api/session") return sessionRoute(request);
    if (post && path == "/api/veltrane/mirroring") return mirroringRoute(request, authenticate(request));
    if (post && path == "/api/command") {
        AuthContext auth = authenticate(request);
        return dispatchCommand(request.body, auth);
    }
    if (get && path == "/api/state") {
        authenticate(request);
        return HTTPResponse::ok(buildState());
    }
    if (get && path == "/api/layout") {
        authenticate(request);
        return layoutResponse();
    }
    if (put && path == "/api/layout") {
        authenticate(request);
        layout_ = LayoutDocument::parseRequest(request.body);
        store_.saveLayout(layout_);
        broadcastState();
        return layoutResponse();
    }
    if (post && path == "/api/layout/restore") {
        authenticate(request);
        layout_ = LayoutDocument::makeDefault();
        store_.saveLayout(layout_);
        broadcastState();
        return layoutResponse();
    }
    if (get && path == "/api/apps") {
        authenticate(request);
        return HTTPResponse::ok(appsPayload());
    }
    if (get && path == "/api/settings") {
        authenticate(request);
        return HTTPResponse::ok(settings_.publicDict());
    }
    if (put && path == "/api/settings") {
        authenticate(request);
        applySettings(request.body);
        return HTTPResponse::ok(settings_.publicDict());
    }
    if (get && path == "/api/devices") {
        authenticate(request);
        return devicesRoute();
    }
    if (get && path == "/api/actions") {
        authenticate(request);
        return HTTPResponse::ok(actionsPayload());
    }
    if (put && path == "/api/actions") {
        authenticate(request);
        replaceActions(request.body);
        return HTTPResponse::ok(actionsPayload());
    }
    const bool fileRoute = (get && path == "/api/files") || (del && path == "/api/files/records") ||
                           (post && path == "/api/files/inbox") || (post && path == "/api/files/reveal-inbox");
    if (fileRoute) return fileTransferRoute(request);
    if (get && isIconPath(path)) {
        authenticate(request);
        return renderIcon(path);
    }
    if ((del && startsWith(path, kFilesRecordsPrefix)) || startsWith(path, kFilesInboxPrefix) ||
        startsWith(path, kFilesOutboxPrefix))
        return fileTransferRoute(request);
    if ((get || del) && startsWith(path, kScreenshotsPrefix)) {
        authenticate(request);
        return screenshotRoute(request);
    }
    if (patch && startsWith(path, kDevicesPrefix)) {
        authenticate(request);
        return renameDeviceRoute(request);
    }
    if (del && startsWith(path, kDevicesPrefix)) {
        authenticate(request);
        return revokeDeviceRoute(request);
    }
    if (get) return serveStatic(path);
    throw DeckError::notFound();
}

}  // namespace veltrane::deck
