#include "platform/audio/PulseProcessTap.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "platform/system/UUID.h"

namespace veltrane::audio {
namespace {

template <class F>
auto asTapFailure(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const PulseError& error) {
        throw TapFailure(error.what(), error.code() == PA_ERR_ACCESS && error.call() == "pa_context_load_module");
    }
}

bool processGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

std::uint32_t sinkIndexNamed(const std::vector<PulseSinkInfo>& sinks, const std::string& name) {
    for (const auto& sink : sinks)
        if (sink.name == name) return sink.index;
    return PA_INVALID_INDEX;
}

std::string loopbackArgument(const std::string& monitor, const std::string& sink) {
    return "source=" + monitor + " sink=" + sink + " latency_msec=20 source_dont_move=true sink_dont_move=true";
}

}  // namespace

std::shared_ptr<PulseProcessTap> PulseProcessTap::connect(std::function<void(const std::string&)> report) {
    return std::shared_ptr<PulseProcessTap>(new PulseProcessTap(std::move(report)));
}

PulseProcessTap::PulseProcessTap(std::function<void(const std::string&)> report)
    : report_(std::move(report)), routingQueue_(dispatch::SerialQueue::create("com.tovrik.orrisfold.audio-tap-routing")) {
    client_ = asTapFailure([] { return std::make_unique<PulseClient>("Veltrane Application Audio"); });
}

PulseProcessTap::~PulseProcessTap() {
    std::lock_guard lock(mutex_);
    destroyLocked();
}

std::vector<AudioProcessObject> PulseProcessTap::processObjects() {
    auto clients = asTapFailure([&] { return client_->clients(); });
    std::map<pid_t, AudioProcessObject> byPID;
    for (const auto& client : clients) {
        if (!client.pid) continue;
        auto& object = byPID[*client.pid];
        object.pid = *client.pid;
        if (!object.bundleID && client.applicationID && !client.applicationID->empty())
            object.bundleID = client.applicationID;
    }
    std::vector<AudioProcessObject> objects;
    for (auto& [pid, object] : byPID) objects.push_back(std::move(object));
    return objects;
}

void PulseProcessTap::undoAbandonedTaps() {
    std::lock_guard lock(mutex_);
    asTapFailure([&] {
        auto sinks = client_->sinks();
        std::string fallback = client_->defaultSinkName();
        for (const auto& sink : sinks) {
            if (sink.name.rfind(kSinkPrefix, 0) != 0 || sink.name == sinkName_) continue;
            auto owner = sink.properties.find(kOwnerProperty);
            if (owner == sink.properties.end()) continue;
            auto pid = parseStrictPID(owner->second);
            if (!pid || !processGone(*pid)) continue;
            // Its record of where each stream came from died with it; the
            // default output is where they played unless the user chose.
            std::uint32_t target = fallback == sink.name ? PA_INVALID_INDEX : sinkIndexNamed(sinks, fallback);
            for (const auto& module : client_->modules())
                if (module.name == "module-loopback" &&
                    module.argument.find("source=" + sink.monitorSource + " ") != std::string::npos)
                    client_->unloadModule(module.index);
            if (target != PA_INVALID_INDEX)
                for (const auto& input : client_->sinkInputs())
                    if (input.sink == sink.index) client_->moveSinkInput(input.index, target);
            if (sink.ownerModule != PA_INVALID_INDEX) client_->unloadModule(sink.ownerModule);
        }
    });
}

void PulseProcessTap::create(const TapDescription& description) {
    std::lock_guard lock(mutex_);
    if (sinkModule_ != PA_INVALID_INDEX) throw TapFailure("the tap exists already");
    asTapFailure([&] {
        std::string name = kSinkPrefix + sys::uuidString();
        std::string argument = "sink_name=" + name +
                               " rate=48000 channels=2 format=float32le"
                               " sink_properties=\"device.description='Veltrane Session Audio' " +
                               kOwnerProperty + "=" + std::to_string(::getpid()) + "\"";
        sinkModule_ = client_->loadModule("module-null-sink", argument);
        sinkName_ = name;
        try {
            sinkIndex_ = sinkIndexNamed(client_->sinks(), name);
            if (sinkIndex_ == PA_INVALID_INDEX) throw PulseError("pa_context_get_sink_info_list", PA_ERR_NOENTITY);
            std::weak_ptr<PulseProcessTap> weak = weak_from_this();
            client_->onNewSinkInput([weak, queue = std::weak_ptr(routingQueue_)](std::uint32_t) {
                if (auto q = queue.lock())
                    q->async([weak] {
                        if (auto self = weak.lock()) self->onNewStream();
                    });
            });
            description_ = description;
            routeLocked();
        } catch (...) {
            destroyLocked();
            throw;
        }
    });
}

void PulseProcessTap::update(const TapDescription& description) {
    std::lock_guard lock(mutex_);
    if (sinkModule_ == PA_INVALID_INDEX) throw TapFailure("the tap is gone");
    description_ = description;
    asTapFailure([&] { routeLocked(); });
}

void PulseProcessTap::onNewStream() {
    std::lock_guard lock(mutex_);
    if (sinkModule_ == PA_INVALID_INDEX) return;
    try {
        asTapFailure([&] { routeLocked(); });
    } catch (const TapFailure& failure) {
        if (report_) report_(failure.what());
    }
}

void PulseProcessTap::routeLocked() {
    auto inputs = client_->sinkInputs();
    auto clients = client_->clients();
    auto sinks = client_->sinks();
    std::map<std::uint32_t, pid_t> clientPID;
    for (const auto& client : clients)
        if (client.pid) clientPID[client.index] = *client.pid;
    std::map<std::uint32_t, std::string> sinkName;
    for (const auto& sink : sinks) sinkName[sink.index] = sink.name;
    const std::set<pid_t> wanted(description_.processes.begin(), description_.processes.end());
    auto tapped = [&](const PulseSinkInputInfo& input) {
        auto pid = clientPID.find(input.client);
        return pid != clientPID.end() && wanted.count(pid->second) > 0;
    };

    std::set<std::uint32_t> present;
    for (const auto& input : inputs) {
        present.insert(input.index);
        if (input.sink == sinkIndex_ || moved_.count(input.index) || !tapped(input)) continue;
        auto from = sinkName.find(input.sink);
        client_->moveSinkInput(input.index, sinkIndex_);
        moved_[input.index] = from == sinkName.end() ? std::string() : from->second;
    }
    std::string fallback;
    for (auto it = moved_.begin(); it != moved_.end();) {
        auto input = std::find_if(inputs.begin(), inputs.end(), [&](const auto& i) { return i.index == it->first; });
        if (input == inputs.end()) {
            it = moved_.erase(it);
            continue;
        }
        if (tapped(*input)) {
            ++it;
            continue;
        }
        std::uint32_t home = sinkIndexNamed(sinks, it->second);
        if (home == PA_INVALID_INDEX) {
            if (fallback.empty()) fallback = client_->defaultSinkName();
            home = sinkIndexNamed(sinks, fallback);
        }
        if (home != PA_INVALID_INDEX && home != sinkIndex_ && input->sink == sinkIndex_)
            client_->moveSinkInput(input->index, home);
        it = moved_.erase(it);
    }

    std::set<std::string> heardOn;
    if (description_.mute == TapMute::unmuted)
        for (const auto& [input, home] : moved_)
            if (!home.empty() && sinkIndexNamed(sinks, home) != PA_INVALID_INDEX) heardOn.insert(home);
    for (auto it = loopbacks_.begin(); it != loopbacks_.end();) {
        if (heardOn.count(it->first)) {
            ++it;
            continue;
        }
        client_->unloadModule(it->second);
        it = loopbacks_.erase(it);
    }
    for (const auto& home : heardOn)
        if (!loopbacks_.count(home))
            loopbacks_[home] = client_->loadModule("module-loopback", loopbackArgument(sinkName_ + ".monitor", home));
}

void PulseProcessTap::startReading(std::function<void(FloatBufferList)> onCycle) {
    std::lock_guard lock(mutex_);
    if (sinkModule_ == PA_INVALID_INDEX) throw TapFailure("the tap is gone");
    pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, 48000, 2};
    recording_ = asTapFailure([&] {
        return client_->record(
            sinkName_ + ".monitor", sampleFormat, static_cast<std::uint32_t>(kFragmentFrames * 8), std::nullopt,
            [onCycle = std::move(onCycle)](const void* data, std::size_t bytes) {
                static const std::vector<float> silence(kMaxCycleFrames * 2, 0.0f);
                std::size_t frames = bytes / 8;
                const float* samples = static_cast<const float*>(data);
                while (frames > 0) {
                    std::size_t cycle = std::min(frames, kMaxCycleFrames);
                    FloatBuffer buffer{2, samples ? samples : silence.data(), cycle * 8};
                    onCycle(FloatBufferList(&buffer, 1));
                    if (samples) samples += cycle * 2;
                    frames -= cycle;
                }
            });
    });
}

void PulseProcessTap::stopReading() {
    std::unique_ptr<PulseClient::Recording> ending;
    {
        std::lock_guard lock(mutex_);
        ending = std::move(recording_);
    }
}

void PulseProcessTap::destroy() {
    std::lock_guard lock(mutex_);
    destroyLocked();
}

bool PulseProcessTap::exists() const {
    std::lock_guard lock(mutex_);
    return sinkModule_ != PA_INVALID_INDEX;
}

std::string PulseProcessTap::sinkName() const {
    std::lock_guard lock(mutex_);
    return sinkModule_ == PA_INVALID_INDEX ? std::string() : sinkName_;
}

// Each step goes on when an earlier one failed: whatever can be put back is.
void PulseProcessTap::destroyLocked() {
    recording_.reset();
    if (sinkModule_ == PA_INVALID_INDEX) return;
    auto attempt = [](auto&& step) {
        try {
            step();
        } catch (const PulseError&) {
        }
    };
    for (const auto& [home, module] : loopbacks_) attempt([&, m = module] { client_->unloadModule(m); });
    loopbacks_.clear();
    std::vector<PulseSinkInfo> sinks;
    std::vector<PulseSinkInputInfo> inputs;
    std::string fallback;
    attempt([&] { sinks = client_->sinks(); });
    attempt([&] { inputs = client_->sinkInputs(); });
    attempt([&] { fallback = client_->defaultSinkName(); });
    const std::uint32_t fallbackIndex = fallback == sinkName_ ? PA_INVALID_INDEX : sinkIndexNamed(sinks, fallback);
    for (const auto& input : inputs) {
        if (input.sink != sinkIndex_) continue;
        auto from = moved_.find(input.index);
        std::uint32_t home = from == moved_.end() ? PA_INVALID_INDEX : sinkIndexNamed(sinks, from->second);
        if (home == PA_INVALID_INDEX || home == sinkIndex_) home = fallbackIndex;
        if (home != PA_INVALID_INDEX) attempt([&] { client_->moveSinkInput(input.index, home); });
    }
    moved_.clear();
    attempt([&] { client_->unloadModule(sinkModule_); });
    sinkModule_ = PA_INVALID_INDEX;
    sinkIndex_ = PA_INVALID_INDEX;
}

}  // namespace veltrane::audio
