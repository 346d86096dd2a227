#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "ControlDeckCore/adapters/AdapterSet.h"
#include "ControlDeckCore/data/ClipboardHistoryItem.h"
#include "ControlDeckCore/data/CustomActionDef.h"
#include "ControlDeckCore/data/DeckSettings.h"
#include "ControlDeckCore/data/FileStore.h"
#include "ControlDeckCore/data/LayoutDocument.h"
#include "ControlDeckCore/runtime/DeckCommand.h"
#include "ControlDeckCore/runtime/DeckState.h"
#include "ControlDeckCore/runtime/RuntimeOptions.h"
#include "ControlDeckCore/runtime/TimerEngine.h"
#include "ControlDeckCore/server/http/HTTPServer.h"
#include "ControlDeckCore/server/http/WebSocket.h"
#include "ControlDeckCore/server/pairing/PairingRecords.h"
#include "ControlDeckCore/server/pairing/PairingStore.h"
#include "ControlDeckCore/server/pairing/VeltraneLink.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/shared/DeckLogger.h"
#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/shared/JSONWriter.h"
#include "ControlDeckCore/shared/LockedValue.h"
#include "ControlDeckCore/transfer/FileTransferService.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/SerialQueue.h"

namespace veltrane::deck {

// The Control Deck's central object, the one thing a host creates. It owns
// the server, the stores, the adapters and the timers, and keeps every
// mutable field on its serial queue "deck.runtime". Every public member may
// be called from any thread: it runs its body on that queue (inline when
// already there). The health check and OPTIONS answer from values the queue
// publishes for other threads, without waiting for it.
class DeckRuntime : public std::enable_shared_from_this<DeckRuntime> {
public:
    static constexpr std::string_view kFilesRecordsPrefix = "/api/files/records/";
    static constexpr std::string_view kFilesInboxPrefix = "/api/files/inbox/";
    static constexpr std::string_view kFilesOutboxPrefix = "/api/files/outbox/";
    static constexpr std::string_view kAppsPrefix = "/api/apps/";
    static constexpr std::string_view kIconSuffix = "/icon";
    static constexpr std::string_view kScreenshotsPrefix = "/api/screenshots/";
    static constexpr std::string_view kDevicesPrefix = "/api/devices/";

    // Sockets that have not authenticated: each is closed after `grace`, and
    // past `maxWaiting` of them a new one is closed at once, so no host on
    // the network can hold sockets without a session.
    struct WaitingSocketLimits {
        dispatch::Duration grace = std::chrono::seconds(60);
        std::size_t maxWaiting = 64;
    };

    // Never fails and writes no data file; a missing or undecodable file gives
    // its default. Without an adapter set the options choose the host or the
    // Fake set.
    static std::shared_ptr<DeckRuntime> create(RuntimeOptions options,
                                               std::optional<AdapterSet> adapters = std::nullopt);
    ~DeckRuntime();
    DeckRuntime(const DeckRuntime&) = delete;
    DeckRuntime& operator=(const DeckRuntime&) = delete;

    // Life cycle. start() blocks for at most about 3.2 s while the listener
    // becomes ready; it throws the data directory's error, the server's error,
    // or DeckError::invalidState naming why the port could not be bound.
    void start();
    // Cancels the timers and stops the server (closing every WebSocket).
    // Safe before start() and more than once.
    void stop();

    // Application interface.
    const RuntimeOptions& options() const { return options_; }
    const AdapterSet& adapters() const { return adapters_; }
    const DeckLogger& logger() const { return logger_; }
    std::uint16_t port() const;  // the bound port, else the settings' port
    bool isListening() const { return listening_.load(); }
    std::vector<std::string> dashboardURLs() const;
    std::vector<PairedDevice> devices() const;
    std::vector<PairingRequest> pendingPairing() const;
    std::filesystem::path mirroringTicketsURL() const;
    DeckState uiState() const;
    DeckState snapshot() const { return uiState(); }
    DeckSettings settings() const;
    void setSettings(DeckSettings settings);
    LayoutDocument layout() const;
    std::vector<CustomActionDef> actions() const;
    // Stores the settings, writes settings.json and broadcasts the state. The
    // running server is not touched: a new port or name applies at the next start.
    void updateSettings(DeckSettings settings);
    void resetConfiguration();
    void setMirroringState(std::uint16_t port, bool ready, std::optional<std::string> error);
    void revokeDevice(const std::string& id);
    void renameDevice(const std::string& id, const std::string& name);
    void dropDeviceSockets(const std::string& deviceId);
    // The state object clients receive as JSON text, written on the runtime
    // queue straight from the runtime's fields and the adapters.
    std::string stateText();
    // The same state as a Json value, read back from stateText() so the two
    // never differ; for tests and the application, not for every request.
    Json buildState();
    Json snapshotDict() { return buildState(); }

    // Files the desktop offers for download. Each may be called from any
    // thread; adding and removing broadcast the state when they succeed and
    // throw the transfer service's errors otherwise.
    std::vector<FileRecord> addOutboxFiles(const std::vector<std::filesystem::path>& paths);
    void removeOutboxFile(const std::string& id);
    void revealFileInbox();
    std::vector<FileRecord> outboxFiles() const;

    // Callbacks to the application. onPairingRequest and onMirroringRequest
    // are always called asynchronously on the main queue.
    using StateCallback = std::function<void(const DeckState&)>;
    using PairingCallback = std::function<void(const PairingRequest&)>;
    using LogCallback = std::function<void(const std::string&)>;
    using MirroringCallback = std::function<void()>;
    StateCallback onStateChange() const { return onStateChange_.wrappedValue(); }
    void setOnStateChange(StateCallback callback) { onStateChange_.setWrappedValue(std::move(callback)); }
    PairingCallback onPairingRequest() const { return onPairingRequest_.wrappedValue(); }
    void setOnPairingRequest(PairingCallback callback) { onPairingRequest_.setWrappedValue(std::move(callback)); }
    LogCallback onLog() const { return onLog_.wrappedValue(); }
    void setOnLog(LogCallback callback) { onLog_.setWrappedValue(std::move(callback)); }
    MirroringCallback onMirroringRequest() const { return onMirroringRequest_.wrappedValue(); }
    void setOnMirroringRequest(MirroringCallback callback) { onMirroringRequest_.setWrappedValue(std::move(callback)); }

    // Server identity and pairing.
    PairingOffer beginPairing();
    void approvePairing(const std::string& id);
    void denyPairing(const std::string& id);
    void forgetAllDevices();
    void rotatePairingIdentity();

    // The request handler that start() installs; it holds the runtime weakly
    // and answers 503 "stopping" once the runtime is gone.
    static std::function<HTTPServer::Handler> requestHandler(std::weak_ptr<DeckRuntime> runtime);
    // Where start() has the server run that handler: the runtime queue, where
    // every route runs anyway, except for icons, which are drawn off it.
    static std::function<HTTPServer::Placer> requestQueue(std::weak_ptr<DeckRuntime> runtime);
    // Tests shorten the grace; the defaults hold otherwise.
    void setWaitingSocketLimits(WaitingSocketLimits limits);

private:
    // One open WebSocket.
    struct WSClient {
        std::shared_ptr<WebSocket> ws;
        std::string deviceId;  // empty until the socket authenticates
        bool sessionAuthed = false;
        std::optional<std::string> pendingToken;
    };
    struct Route;

    static constexpr std::chrono::milliseconds kReadyWait{3000};
    static constexpr std::chrono::milliseconds kReadyGrace{200};
    static constexpr std::chrono::milliseconds kPollInterval{2500};
    static constexpr std::chrono::milliseconds kMediaInterval{1500};
    static constexpr std::size_t kPairingAttemptsPerWindow = 8;
    static constexpr std::chrono::seconds kPairingAttemptWindow{10};
    static constexpr std::uint16_t kClosePolicy = 4001;  // WebSocket close code for lost trust
    // For a socket turned away while too many others wait to authenticate.
    static constexpr std::uint16_t kCloseTryAgainLater = 1013;
    static constexpr std::size_t kScreenshotsKept = 3;

    // Pairing steps the routes share.
    void persistIdentity();
    void consumePairingRateLimit();
    HTTPResponse pairingWaitPayload(const PairingRequest& request);

    // Requests.
    HTTPResponse handle(const HTTPRequest& request);
    HTTPResponse dispatchCommand(const std::string& body, const AuthContext& auth);
    void handleWS(const HTTPRequest& request, std::shared_ptr<WebSocket> socket);
    // One text message of a registered socket; on the runtime queue.
    void handleWSText(const WebSocket* id, const std::string& text);

    // Commands, on the runtime queue. execute() never broadcasts: its caller
    // does after a success.
    Json execute(const DeckCommand& command);
    void bumpVolume(double step);
    void recordClipboard(const std::string& text);

    // Data routes. The layout and command answers carry the JSON envelope
    // without "Cache-Control".
    static HTTPResponse okWithoutCacheHeader(const Json& data);
    HTTPResponse layoutResponse();
    HTTPResponse replaceLayout(LayoutDocument layout);
    Json appsPayload();
    void applySettings(const std::string& body);
    Json actionsPayload();
    void replaceActions(const std::string& body);
    HTTPResponse serveStatic(const std::string& path);

    // State snapshot and broadcasts, on the runtime queue. The state's
    // objects are written with their keys in sorted order.
    void writeState(JSONWriter& writer);
    void writeClipboard(JSONWriter& writer);
    // {"payload":<state>,"type":"state"}, the state message of the socket.
    std::string stateMessageText();
    HTTPResponse stateRoute();
    Json audioOutputs();
    Json displayOutputs();
    void broadcastState();
    // `spread`: the writes go over the network threads in small slices (see
    // WebSocket::broadcast); frequent small events mostly from here alone.
    void broadcast(const Json& message, bool spread = true);
    void broadcastText(std::string_view message, bool spread = true);
    std::set<std::string> connectedDeviceIds() const;

    // What threads other than the runtime queue may read: the health check,
    // OPTIONS and the port.
    struct Published {
        std::string name;
        std::string serverId;
        bool pairingCode = false;
        std::uint16_t settingsPort = 0;
    };

    DeckRuntime(RuntimeOptions options, AdapterSet adapters);

    // Runs `body` on the runtime queue (inline when already there), then
    // republishes the values other threads read.
    template <class F>
    auto onQueue(F&& body) -> decltype(body()) {
        auto republished = [&]() -> decltype(body()) {
            struct Republish {
                DeckRuntime* self;
                ~Republish() { self->publish(); }
            } republish{this};
            return body();
        };
        if (queue_->isCurrent()) return republished();
        return acrossQueue(republished);
    }
    template <class F>
    auto readOnQueue(F&& body) const -> decltype(body()) {
        if (queue_->isCurrent()) return body();
        return acrossQueue(body);
    }
    // Runs `body` on the runtime queue from another thread. A failure comes
    // back as a value and is thrown again here as a copy, so no exception
    // object is ever shared between two threads.
    template <class F>
    auto acrossQueue(F& body) const -> decltype(body()) {
        using R = decltype(body());
        using Value = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
        struct Outcome {
            std::optional<Value> value;
            std::optional<DeckError> deckError;
            std::string failure;
        };
        Outcome outcome = queue_->sync([&] {
            Outcome result;
            try {
                if constexpr (std::is_void_v<R>) {
                    body();
                    result.value.emplace();
                } else {
                    result.value.emplace(body());
                }
            } catch (const DeckError& error) {
                result.deckError = error;
            } catch (const std::exception& error) {
                result.failure = error.what();
            }
            return result;
        });
        if (outcome.deckError) throw *outcome.deckError;
        if (!outcome.value) throw std::runtime_error(outcome.failure);
        if constexpr (!std::is_void_v<R>) return std::move(*outcome.value);
    }

    void publish();
    void wireAdapters();
    void startPolling();
    void cancelPolling();
    void log(const std::string& message) const { logger_.info(message); }
    bool hasAuthenticatedClient() const;
    std::vector<PairedDevice> allDevicesOnQueue() const;
    DeckState uiStateOnQueue() const;
    std::vector<std::string> dashboardURLsFor(std::uint16_t port) const;
    VeltraneLink& veltraneLink();
    void forgetAllDevicesOnQueue();
    void revokeOnQueue(const std::string& id);
    void writeSettingsFile();
    void writeActionsFile();
    // The application adapter is not safe for concurrent use, and icons are
    // rendered outside the runtime queue: every call into it holds appsLock_.
    template <class F>
    auto withApps(F&& body) -> std::invoke_result_t<F&, AppLaunching&> {
        std::lock_guard lock(appsLock_);
        return body(*adapters_.apps);
    }
    HTTPResponse iconResponse(const HTTPRequest& request);
    HTTPResponse renderIcon(const std::string& path);
    static std::string iconIdFromPath(const std::string& path);

    // Route bodies, reached through the table of routes().
    static const std::vector<Route>& routes();
    HTTPResponse route(const HTTPRequest& request);
    HTTPResponse answerWithoutQueue(const HTTPRequest& request) const;
    AuthContext authenticate(const HTTPRequest& request);
    HTTPResponse healthRoute() const;
    HTTPResponse pairingInfoRoute();
    HTTPResponse pairingRequestRoute(const HTTPRequest& request);
    HTTPResponse pairingWaitRoute(const HTTPRequest& request);
    HTTPResponse pairingAnswerRoute(const HTTPRequest& request, bool approve);
    HTTPResponse sessionRoute(const HTTPRequest& request);
    HTTPResponse mirroringRoute(const HTTPRequest& request, const AuthContext& auth);
    HTTPResponse devicesRoute();
    HTTPResponse renameDeviceRoute(const HTTPRequest& request);
    HTTPResponse revokeDeviceRoute(const HTTPRequest& request);
    HTTPResponse screenshotRoute(const HTTPRequest& request);
    HTTPResponse clearRecordsRoute(const HTTPRequest& request);
    HTTPResponse revealInboxRoute();
    HTTPResponse startInbox(const HTTPRequest& request);
    HTTPResponse handleInboxPath(const HTTPRequest& request);
    HTTPResponse handleOutboxPath(const HTTPRequest& request);
    void registerSocket(const std::shared_ptr<WebSocket>& socket, const std::optional<std::string>& token);
    Json takeScreenshot(const std::string& mode);
    void saveClipboardHistory();
    // {"enabled","inbox","inboxDir","outbox"}, in the state and GET /api/files.
    void writeFiles(JSONWriter& writer) const;
    static std::shared_ptr<FileTransferService> makeFileTransferService(const FileStore& store,
                                                                        const AdapterSet& adapters);

    // Construction, in the order the fields are set.
    const RuntimeOptions options_;
    AdapterSet adapters_;
    FileStore store_;
    // Has its own lock: outbox changes come from the application's threads.
    const std::shared_ptr<FileTransferService> files_;
    PairingStore pairing_;
    std::shared_ptr<HTTPServer> server_;
    TimerEngine timers_;
    std::shared_ptr<dispatch::SerialQueue> queue_;
    DeckLogger logger_;

    // Owned by the runtime queue.
    DeckSettings settings_;
    LayoutDocument layout_;
    std::vector<CustomActionDef> actions_;
    std::vector<ClipboardHistoryItem> clipboardHistory_;
    std::optional<std::string> lastScreenshotId_;
    std::optional<Date> lastScreenshotAt_;
    std::size_t stateBytes_ = 0;  // the length of the last state text, for the next one's room
    std::map<const WebSocket*, WSClient> clients_;
    std::deque<std::chrono::steady_clock::time_point> pairingRequestTimes_;
    std::unique_ptr<VeltraneLink> veltraneLink_;
    WaitingSocketLimits waitingLimits_;

    // Owned by the thread that calls start() and stop().
    std::shared_ptr<dispatch::SerialQueue> mediaQueue_;
    std::unique_ptr<dispatch::DispatchTimer> pollTimer_;
    std::unique_ptr<dispatch::DispatchTimer> mediaTimer_;

    // Read from any thread.
    LockedValue<Published> published_;
    // The state can be built without waiting on another program (the
    // clipboard is off, or read from memory); set with published_.
    std::atomic<bool> stateIsBrief_{false};
    std::atomic<bool> listening_{false};
    std::mutex appsLock_;
    LockedValue<StateCallback> onStateChange_;
    LockedValue<PairingCallback> onPairingRequest_;
    LockedValue<LogCallback> onLog_;
    LockedValue<MirroringCallback> onMirroringRequest_;
};

}  // namespace veltrane::deck
