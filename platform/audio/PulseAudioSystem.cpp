#include "platform/audio/PulseAudioSystem.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace veltrane::audio {

namespace {

// Sink indices start at 0, while 0 means "no device" to our callers.
DeviceID deviceOf(std::uint32_t index) { return index + 1; }
std::uint32_t indexOf(DeviceID device) { return device - 1; }

pa_volume_t toPulse(float level) {
    double clamped = std::clamp(static_cast<double>(level), 0.0, 1.0);
    return static_cast<pa_volume_t>(std::lround(clamped * PA_VOLUME_NORM));
}

// Above 100 % (software amplification) still reads as the full level.
float fromPulse(pa_volume_t volume) {
    return static_cast<float>(std::min(1.0, static_cast<double>(volume) / PA_VOLUME_NORM));
}

struct Sink {
    std::string name;
    std::string description;
    pa_cvolume volume{};
    bool muted = false;
};

struct Change {
    Property property;
    DeviceID device;
};

// Completion of one server request, waited for outside the mainloop lock so
// the wait can time out.
class Waiter {
public:
    void finish() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
    }
    void waitFor(double seconds) {
        std::unique_lock lock(mutex_);
        done_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return finished_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
};

class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~MainloopLock() { pa_threaded_mainloop_unlock(loop_); }
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

}  // namespace

class PulseAudioSystem::Impl {
public:
    explicit Impl(std::optional<std::string> server) : server_(std::move(server)) {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) return;
        api_ = pa_threaded_mainloop_get_api(loop_);
        if (pa_threaded_mainloop_start(loop_) < 0) {
            pa_threaded_mainloop_free(loop_);
            loop_ = nullptr;
            return;
        }
        {
            MainloopLock lock(loop_);
            connect();
        }
        std::unique_lock lock(mirrorMutex_);
        attemptOver_.wait_for(lock, std::chrono::duration<double>(kConnectTimeout), [this] { return attemptDone_; });
    }

    ~Impl() {
        if (!loop_) return;
        {
            MainloopLock lock(loop_);
            stopping_ = true;
            if (retry_) api_->time_free(retry_);
            retry_ = nullptr;
            dropContext();
        }
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }

    bool isConnected() const {
        std::lock_guard lock(mirrorMutex_);
        return synced_;
    }

    // Reads the mirror. `read` gets the sink and returns the answer.
    template <class T, class Read>
    std::optional<T> readSink(DeviceID device, Read read) const {
        if (device == kNoDevice) return std::nullopt;
        std::lock_guard lock(mirrorMutex_);
        if (!synced_) return std::nullopt;
        auto found = sinks_.find(indexOf(device));
        if (found == sinks_.end()) return std::nullopt;
        return read(found->second);
    }

    std::optional<DeviceID> defaultOutput() const {
        std::lock_guard lock(mirrorMutex_);
        if (!synced_) return std::nullopt;
        DeviceID device = resolvedDefault();
        if (device == kNoDevice) return std::nullopt;
        return device;
    }

    std::optional<std::vector<DeviceID>> devices() const {
        std::lock_guard lock(mirrorMutex_);
        if (!synced_) return std::nullopt;
        std::vector<DeviceID> list;
        for (const auto& [index, sink] : sinks_) list.push_back(deviceOf(index));
        return list;
    }

    bool setDefaultOutput(DeviceID device) {
        auto name = readSink<std::string>(device, [](const Sink& s) { return s.name; });
        if (!name) return false;
        bool ok = requestSuccess([&](pa_context* c, pa_context_success_cb_t cb, void* data) {
            return pa_context_set_default_sink(c, name->c_str(), cb, data);
        });
        if (ok) await([this](pa_context* c) { return pa_context_get_server_info(c, &Impl::onServerInfo, this); });
        return ok;
    }

    // Changes the sink's volume vector with `change` and writes it back.
    template <class Edit>
    bool writeVolume(DeviceID device, Edit edit) {
        auto volume = readSink<pa_cvolume>(device, [](const Sink& s) { return s.volume; });
        if (!volume || !edit(*volume)) return false;
        std::uint32_t index = indexOf(device);
        bool ok = requestSuccess([&](pa_context* c, pa_context_success_cb_t cb, void* data) {
            return pa_context_set_sink_volume_by_index(c, index, &*volume, cb, data);
        });
        if (ok) refetchSink(index);
        return ok;
    }

    bool setMute(DeviceID device, bool muted) {
        if (!readSink<bool>(device, [](const Sink&) { return true; })) return false;
        std::uint32_t index = indexOf(device);
        bool ok = requestSuccess([&](pa_context* c, pa_context_success_cb_t cb, void* data) {
            return pa_context_set_sink_mute_by_index(c, index, muted ? 1 : 0, cb, data);
        });
        if (ok) refetchSink(index);
        return ok;
    }

    void addListener(Property property, DeviceID device, std::shared_ptr<dispatch::DispatchQueue> queue,
                     std::shared_ptr<const Listener> listener) {
        std::lock_guard lock(listenerMutex_);
        registrations_.push_back({property, device, std::move(queue), std::move(listener)});
    }

    void removeListener(Property property, DeviceID device, const std::shared_ptr<const Listener>& listener) {
        std::lock_guard lock(listenerMutex_);
        std::erase_if(registrations_, [&](const Registration& r) {
            return r.property == property && r.device == device && r.listener == listener;
        });
    }

private:
    struct Registration {
        Property property;
        DeviceID device;
        std::weak_ptr<dispatch::DispatchQueue> queue;
        std::shared_ptr<const Listener> listener;
    };

    // ---- requests from callers' threads ----

    // Starts a request with `start` and waits for it to complete. A server
    // that does not answer in time is disconnected (and retried later), so
    // later calls fail at once instead of waiting again.
    template <class Start>
    bool await(Start start) {
        if (!loop_ || pa_threaded_mainloop_in_thread(loop_)) return false;
        Waiter waiter;
        pa_operation* operation = nullptr;
        pa_context* context = nullptr;
        {
            MainloopLock lock(loop_);
            context = context_;
            if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) return false;
            operation = start(context);
            if (!operation) return false;
            pa_operation_set_state_callback(
                operation, [](pa_operation*, void* data) { static_cast<Waiter*>(data)->finish(); }, &waiter);
        }
        waiter.waitFor(kOperationTimeout);
        MainloopLock lock(loop_);
        // Callbacks run under the mainloop lock, so once the request is
        // cancelled here none can reach `waiter` after we return.
        pa_operation_state_t state = pa_operation_get_state(operation);
        pa_operation_set_state_callback(operation, nullptr, nullptr);
        if (state == PA_OPERATION_RUNNING) {
            pa_operation_cancel(operation);
            if (context_ == context) pa_context_disconnect(context);
        }
        pa_operation_unref(operation);
        return state == PA_OPERATION_DONE;
    }

    template <class Start>
    bool requestSuccess(Start start) {
        int success = 0;
        auto done = [](pa_context*, int ok, void* data) { *static_cast<int*>(data) = ok; };
        return await([&](pa_context* c) { return start(c, done, &success); }) && success;
    }

    void refetchSink(std::uint32_t index) {
        await([this, index](pa_context* c) { return pa_context_get_sink_info_by_index(c, index, &Impl::onSinkInfo, this); });
    }

    // ---- on the mainloop thread, or under the mainloop lock ----

    void connect() {
        dropContext();
        context_ = pa_context_new(api_, kClientName);
        if (!context_) return connectionLost();
        pa_context_set_state_callback(context_, &Impl::onContextState, this);
        if (pa_context_connect(context_, server_ ? server_->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            connectionLost();
    }

    void dropContext() {
        if (!context_) return;
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }

    static void onContextState(pa_context* context, void* data) {
        auto* self = static_cast<Impl*>(data);
        if (context != self->context_) return;
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY: self->startSync(); break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED: self->connectionLost(); break;
        default: break;
        }
    }

    void startSync() {
        pa_context_set_subscribe_callback(context_, &Impl::onEvent, this);
        auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER);
        release(pa_context_subscribe(context_, mask, nullptr, nullptr));
        pendingSync_ = 2;
        release(pa_context_get_server_info(context_, &Impl::onSyncServerInfo, this));
        release(pa_context_get_sink_info_list(context_, &Impl::onSyncSinkInfo, this));
    }

    static void release(pa_operation* operation) {
        if (operation) pa_operation_unref(operation);
    }

    static void onSyncServerInfo(pa_context*, const pa_server_info* info, void* data) {
        auto* self = static_cast<Impl*>(data);
        if (info) self->applyServer(*info);
        self->syncStepDone();
    }

    static void onSyncSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data) {
        auto* self = static_cast<Impl*>(data);
        if (eol == 0 && info) return self->applySink(*info);
        self->syncStepDone();
    }

    void syncStepDone() {
        if (--pendingSync_ > 0) return;
        {
            std::lock_guard lock(mirrorMutex_);
            synced_ = true;
        }
        fire({{Property::devices, kNoDevice}, {Property::defaultOutput, kNoDevice}});
        // Only now may the constructor return: a listener added after it
        // must not hear the first connection.
        {
            std::lock_guard lock(mirrorMutex_);
            attemptDone_ = true;
        }
        attemptOver_.notify_all();
    }

    void connectionLost() {
        std::vector<Change> changes;
        {
            std::lock_guard lock(mirrorMutex_);
            if (synced_) changes = {{Property::devices, kNoDevice}, {Property::defaultOutput, kNoDevice}};
            synced_ = false;
            sinks_.clear();
            defaultSinkName_.clear();
            attemptDone_ = true;
        }
        attemptOver_.notify_all();
        fire(changes);
        if (stopping_ || retry_) return;
        timeval when{};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, static_cast<pa_usec_t>(kReconnectInterval * PA_USEC_PER_SEC));
        retry_ = api_->time_new(api_, &when, &Impl::onRetry, this);
    }

    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data) {
        auto* self = static_cast<Impl*>(data);
        api->time_free(event);
        self->retry_ = nullptr;
        if (!self->stopping_) self->connect();
    }

    static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* data) {
        auto* self = static_cast<Impl*>(data);
        auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
            if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) return self->removeSink(index);
            release(pa_context_get_sink_info_by_index(context, index, &Impl::onSinkInfo, self));
        } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            release(pa_context_get_server_info(context, &Impl::onServerInfo, self));
        }
    }

    // A failed read (eol < 0) means the sink is gone; its removal event follows.
    static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data) {
        if (eol == 0 && info) static_cast<Impl*>(data)->applySink(*info);
    }

    static void onServerInfo(pa_context*, const pa_server_info* info, void* data) {
        if (info) static_cast<Impl*>(data)->applyServer(*info);
    }

    // Each mirror change collects what it changed and, once the mirror is in
    // sync, tells the listeners of those properties.
    template <class Mutate>
    void changeMirror(Mutate mutate) {
        std::vector<Change> changes;
        {
            std::lock_guard lock(mirrorMutex_);
            DeviceID before = resolvedDefault();
            mutate(changes);
            if (resolvedDefault() != before) changes.push_back({Property::defaultOutput, kNoDevice});
            if (!synced_) changes.clear();
        }
        fire(changes);
    }

    void applySink(const pa_sink_info& info) {
        changeMirror([&](std::vector<Change>& changes) {
            Sink next{info.name ? info.name : "", info.description ? info.description : "", info.volume,
                      info.mute != 0};
            DeviceID device = deviceOf(info.index);
            auto found = sinks_.find(info.index);
            if (found == sinks_.end()) {
                changes.push_back({Property::devices, kNoDevice});
            } else {
                if (!pa_cvolume_equal(&found->second.volume, &next.volume))
                    changes.push_back({Property::mainVolume, device});
                if (found->second.muted != next.muted) changes.push_back({Property::mute, device});
            }
            sinks_[info.index] = std::move(next);
        });
    }

    void removeSink(std::uint32_t index) {
        changeMirror([&](std::vector<Change>& changes) {
            if (sinks_.erase(index)) changes.push_back({Property::devices, kNoDevice});
        });
    }

    void applyServer(const pa_server_info& info) {
        changeMirror([&](std::vector<Change>&) {
            defaultSinkName_ = info.default_sink_name ? info.default_sink_name : "";
        });
    }

    // Needs mirrorMutex_.
    DeviceID resolvedDefault() const {
        for (const auto& [index, sink] : sinks_)
            if (sink.name == defaultSinkName_ && !sink.name.empty()) return deviceOf(index);
        return kNoDevice;
    }

    // Only queues work, so it is safe on the mainloop thread.
    void fire(const std::vector<Change>& changes) {
        if (changes.empty()) return;
        std::vector<std::pair<std::shared_ptr<dispatch::DispatchQueue>, std::shared_ptr<const Listener>>> due;
        {
            std::lock_guard lock(listenerMutex_);
            for (const auto& r : registrations_) {
                bool matches = std::any_of(changes.begin(), changes.end(), [&](const Change& c) {
                    return c.property == r.property && c.device == r.device;
                });
                if (!matches) continue;
                if (auto queue = r.queue.lock()) due.emplace_back(std::move(queue), r.listener);
            }
        }
        for (auto& entry : due) entry.first->async([listener = entry.second] { (*listener)(); });
    }

    const std::optional<std::string> server_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_mainloop_api* api_ = nullptr;

    // Under the mainloop lock.
    pa_context* context_ = nullptr;
    pa_time_event* retry_ = nullptr;
    bool stopping_ = false;
    int pendingSync_ = 0;

    mutable std::mutex mirrorMutex_;
    std::condition_variable attemptOver_;
    bool attemptDone_ = false;
    bool synced_ = false;
    std::map<std::uint32_t, Sink> sinks_;
    std::string defaultSinkName_;

    std::mutex listenerMutex_;
    std::vector<Registration> registrations_;
};

PulseAudioSystem::PulseAudioSystem(std::optional<std::string> server)
    : server_(server), impl_(std::make_unique<Impl>(std::move(server))) {}

PulseAudioSystem::~PulseAudioSystem() = default;

bool PulseAudioSystem::isConnected() const { return impl_->isConnected(); }

std::optional<DeviceID> PulseAudioSystem::defaultOutput() { return impl_->defaultOutput(); }

bool PulseAudioSystem::setDefaultOutput(DeviceID device) { return impl_->setDefaultOutput(device); }

std::optional<std::vector<DeviceID>> PulseAudioSystem::devices() { return impl_->devices(); }

std::optional<std::uint32_t> PulseAudioSystem::outputChannelCount(DeviceID device) {
    return impl_->readSink<std::uint32_t>(device, [](const Sink& s) { return std::uint32_t{s.volume.channels}; });
}

std::optional<std::string> PulseAudioSystem::uid(DeviceID device) {
    return impl_->readSink<std::string>(device, [](const Sink& s) { return s.name; });
}

std::optional<std::string> PulseAudioSystem::name(DeviceID device) {
    return impl_->readSink<std::string>(device, [](const Sink& s) { return s.description; });
}

std::optional<float> PulseAudioSystem::mainVolume(DeviceID device) {
    return impl_->readSink<float>(device, [](const Sink& s) { return fromPulse(pa_cvolume_max(&s.volume)); });
}

bool PulseAudioSystem::setMainVolume(DeviceID device, float level) {
    return impl_->writeVolume(device, [level](pa_cvolume& volume) {
        return pa_cvolume_scale(&volume, toPulse(level)) != nullptr;
    });
}

std::optional<float> PulseAudioSystem::channelVolume(DeviceID device, unsigned element) {
    if (element == 0) return std::nullopt;  // sinks have no main channel of their own
    auto volume = impl_->readSink<pa_cvolume>(device, [](const Sink& s) { return s.volume; });
    if (!volume || element > volume->channels) return std::nullopt;
    return fromPulse(volume->values[element - 1]);
}

bool PulseAudioSystem::setChannelVolume(DeviceID device, unsigned element, float level) {
    if (element == 0) return false;
    return impl_->writeVolume(device, [element, level](pa_cvolume& volume) {
        if (element > volume.channels) return false;
        volume.values[element - 1] = toPulse(level);
        return true;
    });
}

std::optional<bool> PulseAudioSystem::mute(DeviceID device) {
    return impl_->readSink<bool>(device, [](const Sink& s) { return s.muted; });
}

bool PulseAudioSystem::setMute(DeviceID device, bool muted) { return impl_->setMute(device, muted); }

void PulseAudioSystem::addListener(Property property, DeviceID device, std::shared_ptr<dispatch::DispatchQueue> queue,
                                   std::shared_ptr<const Listener> listener) {
    impl_->addListener(property, device, std::move(queue), std::move(listener));
}

void PulseAudioSystem::removeListener(Property property, DeviceID device,
                                      const std::shared_ptr<const Listener>& listener) {
    impl_->removeListener(property, device, listener);
}

}  // namespace veltrane::audio

#if defined(__SANITIZE_THREAD__)
// libpulse is not built for ThreadSanitizer and publishes its lazily made
// internal mutexes through its own atomics, which the sanitizer cannot see;
// the first lock of such a mutex on another thread then looks like a race.
// Only accesses inside libpulse's mutex functions are excused: our own state
// is still checked.
extern "C" const char* __tsan_default_suppressions() {
    return "race:pa_mutex_lock\n"
           "race:pa_mutex_unlock\n";
}
#endif
