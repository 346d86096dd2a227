// The request handler and the REST route table.

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/runtime/RequestBody.h"
#include "ControlDeckCore/server/http/PercentEncoding.h"
#include "ControlDeckCore/shared/DeckError.h"

namespace veltrane::deck {

namespace {

constexpr const char* kGenericFailure = "The Mac could not complete that action.";

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool isIconPath(const std::string& path) {
    return startsWith(path, DeckRuntime::kAppsPrefix) && endsWith(path, DeckRuntime::kIconSuffix);
}

// Reads of the runtime's own records: no disk, no child process, no other
// program to wait for, so a connection's thread may answer them itself.
bool readsRecords(const HTTPRequest& request) {
    if (request.method != "GET") return false;
    static constexpr std::string_view kPaths[] = {"/api/layout", "/api/settings", "/api/devices", "/api/actions",
                                                  "/api/pairing/info"};
    return std::find(std::begin(kPaths), std::end(kPaths), request.path) != std::end(kPaths);
}

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

std::function<HTTPServer::Placer> DeckRuntime::requestQueue(std::weak_ptr<DeckRuntime> runtime) {
    return [runtime](const HTTPRequest& request) -> HTTPServer::Placement {
        if (request.method == "GET" && isIconPath(request.path)) return {};
        std::shared_ptr<DeckRuntime> self = runtime.lock();
        if (!self) return {};
        const bool brief = readsRecords(request) || (request.method == "GET" && request.path == "/api/state" &&
                                                     self->stateIsBrief_.load(std::memory_order_relaxed));
        return {self->queue_, brief};
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

// One row of the table: the first row whose method and path match answers.
struct DeckRuntime::Route {
    enum class Match { exact, prefix };
    // Session routes authenticate before anything else; gated ones then need
    // file transfer turned on.
    enum class Access { open, session, gated };
    using Handler = HTTPResponse (*)(DeckRuntime&, const HTTPRequest&, const AuthContext&);

    std::string_view method;  // empty: any method
    Match match;
    std::string_view path;    // the whole path, or its prefix
    std::string_view suffix;  // a prefix row's required ending, if any
    Access access;
    Handler handler;

    bool matches(const HTTPRequest& request) const {
        if (!method.empty() && request.method != method) return false;
        if (match == Match::exact) return request.path == path;
        return startsWith(request.path, path) && endsWith(request.path, suffix);
    }
};

const std::vector<DeckRuntime::Route>& DeckRuntime::routes() {
    using enum Route::Match;
    using enum Route::Access;
    using Request = const HTTPRequest&;
    using Auth = const AuthContext&;
    static const std::vector<Route> table = {
        {"OPTIONS", prefix, "", "", open,
         [](DeckRuntime&, Request, Auth) {
             return HTTPResponse{204, {}, {}};
         }},
        {"GET", exact, "/api/health", "", open, [](DeckRuntime& self, Request, Auth) { return self.healthRoute(); }},
        {"GET", exact, "/api/pairing/info", "", open,
         [](DeckRuntime& self, Request, Auth) { return self.pairingInfoRoute(); }},
        {"POST", exact, "/api/pairing/begin", "", open,
         [](DeckRuntime&, Request, Auth) -> HTTPResponse { throw DeckError::unauthorized(); }},
        {"GET", exact, "/api/pairing/qr.png", "", open,
         [](DeckRuntime&, Request, Auth) -> HTTPResponse { throw DeckError::notFound(); }},
        {"POST", exact, "/api/pairing/request", "", open,
         [](DeckRuntime& self, Request request, Auth) { return self.pairingRequestRoute(request); }},
        {"GET", exact, "/api/pairing/wait", "", open,
         [](DeckRuntime& self, Request request, Auth) { return self.pairingWaitRoute(request); }},
        {"POST", exact, "/api/pairing/approve", "", session,
         [](DeckRuntime& self, Request request, Auth) { return self.pairingAnswerRoute(request, true); }},
        {"POST", exact, "/api/pairing/deny", "", session,
         [](DeckRuntime& self, Request request, Auth) { return self.pairingAnswerRoute(request, false); }},
        {"POST", exact, "/api/session", "", open,
         [](DeckRuntime& self, Request request, Auth) { return self.sessionRoute(request); }},
        {"POST", exact, "/api/veltrane/mirroring", "", session,
         [](DeckRuntime& self, Request request, Auth auth) { return self.mirroringRoute(request, auth); }},
        {"POST", exact, "/api/command", "", session,
         [](DeckRuntime& self, Request request, Auth auth) { return self.dispatchCommand(request.body, auth); }},
        {"GET", exact, "/api/state", "", session, [](DeckRuntime& self, Request, Auth) { return self.stateRoute(); }},
        {"GET", exact, "/api/layout", "", session,
         [](DeckRuntime& self, Request, Auth) { return self.layoutResponse(); }},
        {"PUT", exact, "/api/layout", "", session,
         [](DeckRuntime& self, Request request, Auth) {
             return self.replaceLayout(LayoutDocument::parseRequest(request.body));
         }},
        {"POST", exact, "/api/layout/restore", "", session,
         [](DeckRuntime& self, Request, Auth) { return self.replaceLayout(LayoutDocument::makeDefault()); }},
        {"GET", exact, "/api/apps", "", session,
         [](DeckRuntime& self, Request, Auth) { return HTTPResponse::ok(self.appsPayload()); }},
        {"GET", exact, "/api/settings", "", session,
         [](DeckRuntime& self, Request, Auth) { return HTTPResponse::ok(self.settings_.publicDict()); }},
        {"PUT", exact, "/api/settings", "", session,
         [](DeckRuntime& self, Request request, Auth) {
             self.applySettings(request.body);
             return HTTPResponse::ok(self.settings_.publicDict());
         }},
        {"GET", exact, "/api/devices", "", session,
         [](DeckRuntime& self, Request, Auth) { return self.devicesRoute(); }},
        {"GET", exact, "/api/actions", "", session,
         [](DeckRuntime& self, Request, Auth) { return HTTPResponse::ok(self.actionsPayload()); }},
        {"PUT", exact, "/api/actions", "", session,
         [](DeckRuntime& self, Request request, Auth) {
             self.replaceActions(request.body);
             return HTTPResponse::ok(self.actionsPayload());
         }},
        {"GET", exact, "/api/files", "", gated,
         [](DeckRuntime& self, Request, Auth) {
             return HTTPResponse::okWritten([&self](JSONWriter& writer) { self.writeFiles(writer); });
         }},
        {"DELETE", exact, "/api/files/records", "", session,
         [](DeckRuntime& self, Request request, Auth) { return self.clearRecordsRoute(request); }},
        {"POST", exact, "/api/files/inbox", "", gated,
         [](DeckRuntime& self, Request request, Auth) { return self.startInbox(request); }},
        {"POST", exact, "/api/files/reveal-inbox", "", gated,
         [](DeckRuntime& self, Request, Auth) { return self.revealInboxRoute(); }},
        {"GET", prefix, kAppsPrefix, kIconSuffix, session,
         [](DeckRuntime& self, Request request, Auth) { return self.renderIcon(request.path); }},
        {"DELETE", prefix, kFilesRecordsPrefix, "", session,
         [](DeckRuntime& self, Request request, Auth) { return self.clearRecordsRoute(request); }},
        {"", prefix, kFilesInboxPrefix, "", gated,
         [](DeckRuntime& self, Request request, Auth) { return self.handleInboxPath(request); }},
        {"", prefix, kFilesOutboxPrefix, "", gated,
         [](DeckRuntime& self, Request request, Auth) { return self.handleOutboxPath(request); }},
        {"GET", prefix, kScreenshotsPrefix, "", session,
         [](DeckRuntime& self, Request request, Auth) { return self.screenshotRoute(request); }},
        {"DELETE", prefix, kScreenshotsPrefix, "", session,
         [](DeckRuntime& self, Request request, Auth) { return self.screenshotRoute(request); }},
        {"PATCH", prefix, kDevicesPrefix, "", session,
         [](DeckRuntime& self, Request request, Auth) { return self.renameDeviceRoute(request); }},
        {"DELETE", prefix, kDevicesPrefix, "", session,
         [](DeckRuntime& self, Request request, Auth) { return self.revokeDeviceRoute(request); }},
        {"GET", prefix, "", "", open,
         [](DeckRuntime& self, Request request, Auth) { return self.serveStatic(request.path); }},
    };
    return table;
}

HTTPResponse DeckRuntime::route(const HTTPRequest& request) {
    for (const Route& row : routes()) {
        if (!row.matches(request)) continue;
        AuthContext auth;
        if (row.access != Route::Access::open) auth = authenticate(request);
        if (row.access == Route::Access::gated && !settings_.fileTransferEnabled)
            throw DeckError::featureDisabled("File transfer");
        return row.handler(*this, request, auth);
    }
    throw DeckError::notFound();
}

HTTPResponse DeckRuntime::replaceLayout(LayoutDocument layout) {
    layout_ = std::move(layout);
    store_.saveLayout(layout_);
    broadcastState();
    return layoutResponse();
}

}  // namespace veltrane::deck
