// Construction, life cycle, polling and the application interface.

#include "ControlDeckCore/runtime/DeckRuntime.h"

#include <condition_variable>
#include <system_error>
#include <thread>

#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"
#include "ControlDeckCore/runtime/PersistedIdentity.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/system/UUID.h"

namespace veltrane::deck {

namespace {

// Signalled by the server's ready callback, which may come after start()
// has given up waiting; the latch outlives that wait.
class ReadyLatch {
public:
    void signal() {
        std::lock_guard lock(mutex_);
        signalled_ = true;
        ready_.notify_all();
    }
    void wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        ready_.wait_for(lock, timeout, [&] { return signalled_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    bool signalled_ = false;
};

DeckSettings loadSettings(const FileStore& store, const RuntimeOptions& options) {
    const bool existed = store.exists(FileStore::settingsFile);
    DeckSettings settings = store.load<DeckSettings>(FileStore::settingsFile)
                                .value_or(DeckSettings::makeDefault(DeckSettings::defaultDeviceName(),
                                                                    DeckSettings::defaultPort));
    if (!existed || settings.deviceName.empty()) settings.deviceName = options.deviceName;
    if (options.port != RuntimeOptions::kDefaultPort) settings.port = options.port;
    return settings;
}

PersistedIdentity loadIdentity(const FileStore& store) {
    if (std::optional<std::string> bytes = store.read(FileStore::identityFile)) {
        if (std::optional<Json> json = FileStore::decode(*bytes)) {
            if (auto identity = PersistedIdentity::decode(*json, std::chrono::system_clock::now())) return *identity;
        }
    }
    return PersistedIdentity{sys::uuidString(), {}};
}

}  // namespace

std::shared_ptr<DeckRuntime> DeckRuntime::create(RuntimeOptions options, std::optional<AdapterSet> adapters) {
    AdapterSet set = adapters ? std::move(*adapters) : options.useFakeAdapters ? AdapterSet::fake() : AdapterSet::mac();
    std::shared_ptr<DeckRuntime> runtime(new DeckRuntime(std::move(options), std::move(set)));
    std::weak_ptr<DeckRuntime> weak = runtime;
    runtime->logger_ = DeckLogger([weak, standardOutput = DeckLogger::standardOutputSink()](const std::string& line) {
        if (auto self = weak.lock()) {
            if (LogCallback callback = self->onLog()) callback(line);
        }
        standardOutput(line);
    });
    runtime->wireAdapters();
    return runtime;
}

DeckRuntime::DeckRuntime(RuntimeOptions options, AdapterSet adapters)
    : options_(std::move(options)),
      adapters_(std::move(adapters)),
      store_(options_.dataDirectory),
      files_(makeFileTransferService(store_, adapters_)),
      pairing_(sys::uuidString(), options_.autoApprovePairing),
      server_(HTTPServer::create()),
      queue_(dispatch::SerialQueue::create("deck.runtime")),
      settings_(loadSettings(store_, options_)),
      layout_(store_.loadLayout()),
      actions_(store_.load<std::vector<CustomActionDef>>(FileStore::actionsFile).value_or(std::vector<CustomActionDef>{})),
      clipboardHistory_(store_.load<std::vector<ClipboardHistoryItem>>(FileStore::clipboardHistoryFile)
                            .value_or(std::vector<ClipboardHistoryItem>{})) {
    PersistedIdentity identity = loadIdentity(store_);
    pairing_.setServerId(identity.serverId);
    for (PairedDevice& device : identity.devices) pairing_.insertDevice(std::move(device));
    publish();
}

DeckRuntime::~DeckRuntime() { cancelPolling(); }

void DeckRuntime::publish() {
    published_.setWrappedValue(
        Published{settings_.deviceName, pairing_.serverId(), pairing_.pairingCode().has_value(), settings_.port});
    stateIsBrief_.store(!settings_.clipboardEnabled || adapters_.clipboard->readsAtOnce(), std::memory_order_relaxed);
}

void DeckRuntime::wireAdapters() {
    std::weak_ptr<DeckRuntime> weak = weak_from_this();
    // Adapter and timer callbacks may come from any queue; they only queue work.
    auto hop = [weak](std::function<void(DeckRuntime&)> work) {
        if (auto self = weak.lock()) {
            self->queue_->async([weak, work = std::move(work)] {
                if (auto runtime = weak.lock()) runtime->onQueue([&] { work(*runtime); });
            });
        }
    };
    adapters_.volume->setOnChange([hop] { hop([](DeckRuntime& r) { r.broadcastState(); }); });
    adapters_.media->setOnChange([hop] {
        hop([](DeckRuntime& r) {
            if (r.hasAuthenticatedClient()) r.broadcastState();
        });
    });
    adapters_.media->setOnLyricClock([hop](const lyrics::LyricClockTick& tick) {
        hop([tick](DeckRuntime& r) {
            if (!r.hasAuthenticatedClient()) return;
            r.broadcast({{"type", "event"},
                         {"name", "lyrics.clock"},
                         {"payload",
                          {{"elapsed", tick.elapsed},
                           {"elapsedAt", tick.capturedAtMs},
                           {"elapsedKnown", true},
                           {"playing", tick.playing},
                           {"index", tick.index},
                           {"current", tick.current}}}},
                        /*spread=*/false);
        });
    });
    timers_.onChange = [hop] {
        hop([](DeckRuntime& r) {
            if (r.hasAuthenticatedClient()) r.broadcastState();
        });
    };
    timers_.onFinished = [hop](const DeckTimer& timer) {
        hop([timer](DeckRuntime& r) {
            r.adapters_.notifier->timerFinished(timer.id, timer.label);
            r.broadcast({{"type", "event"},
                         {"name", "timer.completed"},
                         {"payload", {{"id", timer.id}, {"label", timer.label}}}});
            r.broadcastState();
        });
    };
}

void DeckRuntime::start() {
    std::error_code error;
    std::filesystem::create_directories(options_.dataDirectory, error);
    if (error) throw std::system_error(error, "Could not create " + options_.dataDirectory.string());

    std::weak_ptr<DeckRuntime> weak = weak_from_this();
    server_->handler = requestHandler(weak);
    server_->handlerQueue = requestQueue(weak);
    server_->wsHandler = [weak](const HTTPRequest& request, std::shared_ptr<WebSocket> socket) {
        if (auto self = weak.lock()) self->handleWS(request, std::move(socket));
    };
    auto ready = std::make_shared<ReadyLatch>();
    server_->onReady = [ready](std::uint16_t) { ready->signal(); };

    struct Listen {
        std::uint16_t port;
        std::string name;
        std::string serverId;
    };
    const Listen listen = readOnQueue([&] { return Listen{settings_.port, settings_.deviceName, pairing_.serverId()}; });
    server_->start(listen.port, listen.name, options_.bindLoopbackOnly, listen.serverId);

    ready->wait(kReadyWait);
    if (server_->port() == 0) std::this_thread::sleep_for(kReadyGrace);
    if (server_->bindFailed() || server_->port() == 0) {
        const bool inUse = server_->bindError() == std::optional<std::string>("address in use");
        server_->stop();
        throw DeckError::invalidState(
            inUse ? "Port " + std::to_string(listen.port) +
                        " is already in use. Quit the other Veltrane window, then choose New code."
                  : "Could not bind the Control Deck HTTP port.");
    }
    listening_ = true;
    startPolling();

    dispatch::MainQueue::shared().async([weak] {
        MediaRemoteNowPlaying::enableClient();
        if (auto self = weak.lock()) self->adapters_.media->refresh();
    });

    const std::uint16_t bound = port();
    log(options_.bindLoopbackOnly ? "listening on 127.0.0.1:" + std::to_string(bound) + " (loopback only)"
                                  : "listening on 0.0.0.0:" + std::to_string(bound) + " (LAN)");
    if (options_.autoApprovePairing) {
        const PairingOffer offer = beginPairing();
        log("PAIRING_CODE " + offer.code + " (auto-approve, 5 min)");
        DeckLogger::standardOutputSink()("PAIRING_CODE " + offer.code);
    }
}

void DeckRuntime::stop() {
    cancelPolling();
    server_->stop();
    listening_ = false;
}

void DeckRuntime::startPolling() {
    cancelPolling();  // a second start replaces the first one's timers
    std::weak_ptr<DeckRuntime> weak = weak_from_this();
    pollTimer_ = dispatch::DispatchTimer::create(*queue_, kPollInterval, {}, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->onQueue([&] {
            self->timers_.tick(TimerEngine::Clock::now());
            if (self->hasAuthenticatedClient() && self->settings_.systemStatsEnabled) self->broadcastState();
        });
    });
    pollTimer_->start();

    mediaQueue_ = dispatch::SerialQueue::create("deck.media");
    mediaTimer_ = dispatch::DispatchTimer::create(*mediaQueue_, kMediaInterval, {}, [weak] {
        auto self = weak.lock();
        if (!self) return;
        const bool wanted =
            self->readOnQueue([&] { return self->settings_.mediaEnabled && self->hasAuthenticatedClient(); });
        // A slow now-playing read must never hold the runtime queue.
        if (wanted) self->adapters_.media->refresh();
    });
    mediaTimer_->start();
}

void DeckRuntime::cancelPolling() {
    if (pollTimer_) pollTimer_->cancel();
    if (mediaTimer_) mediaTimer_->cancel();
}

std::uint16_t DeckRuntime::port() const {
    const std::uint16_t bound = server_->port();
    return bound != 0 ? bound : published_.wrappedValue().settingsPort;
}

std::vector<std::string> DeckRuntime::dashboardURLs() const { return dashboardURLsFor(port()); }

std::vector<std::string> DeckRuntime::dashboardURLsFor(std::uint16_t port) const {
    std::vector<std::string> urls{"http://127.0.0.1:" + std::to_string(port) + "/"};
    for (const std::string& address : adapters_.network->ipv4Addresses())
        urls.push_back("http://" + address + ":" + std::to_string(port) + "/");
    return urls;
}

std::vector<PairedDevice> DeckRuntime::devices() const {
    return readOnQueue([&] { return allDevicesOnQueue(); });
}

std::vector<PairedDevice> DeckRuntime::allDevicesOnQueue() const { return pairing_.allDevices(); }

std::vector<PairingRequest> DeckRuntime::pendingPairing() const {
    return readOnQueue([&] {
        std::vector<PairingRequest> pending;
        for (const auto& [id, request] : pairing_.requests())
            if (request.status == PairingRequest::kPending) pending.push_back(request);
        return pending;
    });
}

std::filesystem::path DeckRuntime::mirroringTicketsURL() const {
    return options_.dataDirectory / VeltraneLink::kFolderName / VeltraneLink::kFileName;
}

DeckState DeckRuntime::uiState() const {
    return readOnQueue([&] { return uiStateOnQueue(); });
}

DeckState DeckRuntime::uiStateOnQueue() const {
    DeckState state;
    state.isRunning = listening_.load();
    state.port = port();
    state.dashboardURLs = dashboardURLsFor(state.port);
    const std::set<std::string> connected = connectedDeviceIds();
    for (PairedDevice device : pairing_.allDevices()) {
        device.connected = !device.revoked && connected.count(device.id) > 0;
        state.devices.push_back(std::move(device));
    }
    for (const auto& [id, request] : pairing_.requests())
        if (request.status == PairingRequest::kPending) state.pendingPairing.push_back(request);
    state.settings = settings_;
    return state;
}

DeckSettings DeckRuntime::settings() const {
    return readOnQueue([&] { return settings_; });
}

void DeckRuntime::setSettings(DeckSettings settings) {
    onQueue([&] { settings_ = std::move(settings); });
}

LayoutDocument DeckRuntime::layout() const {
    return readOnQueue([&] { return layout_; });
}

std::vector<CustomActionDef> DeckRuntime::actions() const {
    return readOnQueue([&] { return actions_; });
}

void DeckRuntime::writeSettingsFile() { store_.write(FileStore::settingsFile, settings_.encode()); }

void DeckRuntime::writeActionsFile() {
    Json list = Json::array();
    for (const CustomActionDef& action : actions_) list.push_back(action.encode());
    store_.write(FileStore::actionsFile, list);
}

void DeckRuntime::updateSettings(DeckSettings settings) {
    onQueue([&] {
        settings_ = std::move(settings);
        writeSettingsFile();
        broadcastState();
    });
}

void DeckRuntime::resetConfiguration() {
    onQueue([&] {
        store_.resetConfiguration();
        settings_ = DeckSettings::makeDefault(options_.deviceName, options_.port);
        layout_ = LayoutDocument::makeDefault();
        actions_.clear();
        clipboardHistory_.clear();
        writeSettingsFile();
        store_.saveLayout(layout_);
        forgetAllDevicesOnQueue();
        broadcastState();
    });
}

VeltraneLink& DeckRuntime::veltraneLink() {
    if (!veltraneLink_) veltraneLink_ = std::make_unique<VeltraneLink>(options_.dataDirectory);
    return *veltraneLink_;
}

void DeckRuntime::setMirroringState(std::uint16_t port, bool ready, std::optional<std::string> error) {
    std::weak_ptr<DeckRuntime> weak = weak_from_this();
    queue_->async([weak, port, ready, error = std::move(error)] {
        auto self = weak.lock();
        if (!self) return;
        VeltraneLink& link = self->veltraneLink();
        link.setState(port, ready, error);
        try {
            link.persist(self->allDevicesOnQueue());
        } catch (const std::exception&) {
            // The sender keeps the previous grants; nothing to tell the application.
        }
    });
}

void DeckRuntime::revokeDevice(const std::string& id) {
    onQueue([&] {
        revokeOnQueue(id);
        broadcastState();
    });
}

void DeckRuntime::revokeOnQueue(const std::string& id) {
    pairing_.revoke(id);
    persistIdentity();
    dropDeviceSockets(id);
}

void DeckRuntime::renameDevice(const std::string& id, const std::string& name) {
    onQueue([&] {
        pairing_.rename(id, name);
        persistIdentity();
    });
}

void DeckRuntime::dropDeviceSockets(const std::string& deviceId) {
    onQueue([&] {
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (it->second.deviceId == deviceId) {
                it->second.ws->close(kClosePolicy);
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    });
}

}  // namespace veltrane::deck
