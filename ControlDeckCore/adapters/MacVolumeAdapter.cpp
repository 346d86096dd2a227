#include "ControlDeckCore/adapters/MacVolumeAdapter.h"

#include <algorithm>
#include <cmath>

#include "ControlDeckCore/shared/DeckError.h"
#include "platform/process/Shell.h"
#include "platform/audio/PulseAudioSystem.h"

namespace veltrane::deck {

using audio::DeviceID;
using audio::kNoDevice;
using audio::Property;

std::shared_ptr<MacVolumeAdapter> MacVolumeAdapter::create() {
    return create(std::make_shared<audio::PulseAudioSystem>(),
                  [](const std::string& path, const std::vector<std::string>& arguments, double timeout) {
                      process::Shell::run(path, arguments, timeout);
                  });
}

std::shared_ptr<MacVolumeAdapter> MacVolumeAdapter::create(std::shared_ptr<audio::AudioSystem> audio,
                                                           CommandRunner runCommand, double pollInterval) {
    auto adapter = std::make_shared<MacVolumeAdapter>(Passkey{}, std::move(audio), std::move(runCommand));
    {
        std::lock_guard lock(adapter->mutex_);
        adapter->known_.device = adapter->audio_->defaultOutput().value_or(kNoDevice);
    }
    adapter->refreshCache(false);
    adapter->audioQ_->sync([&] { adapter->installListeners(); });
    adapter->startPoll(pollInterval);
    return adapter;
}

MacVolumeAdapter::MacVolumeAdapter(Passkey, std::shared_ptr<audio::AudioSystem> audio, CommandRunner runCommand)
    : audio_(std::move(audio)),
      runCommand_(std::move(runCommand)),
      audioQ_(dispatch::SerialQueue::create(kQueueLabel)) {}

MacVolumeAdapter::Known MacVolumeAdapter::known() const {
    std::lock_guard lock(mutex_);
    return known_;
}

double MacVolumeAdapter::volume() const { return known().lastVolume; }

bool MacVolumeAdapter::isMuted() const { return known().lastMuted; }

void MacVolumeAdapter::changed() const {
    if (auto callback = onChange_.wrappedValue()) callback();
}

// ---- identity and reading ----

std::vector<DeviceID> MacVolumeAdapter::outputDeviceIDs() {
    std::vector<DeviceID> outputs;
    for (DeviceID device : audio_->devices().value_or(std::vector<DeviceID>{}))
        if (audio_->outputChannelCount(device).value_or(0) != 0) outputs.push_back(device);
    return outputs;
}

std::string MacVolumeAdapter::uid(DeviceID device) {
    auto uid = audio_->uid(device);
    if (!uid || uid->empty()) return std::to_string(device);
    return *uid;
}

std::string MacVolumeAdapter::name(DeviceID device) {
    auto name = audio_->name(device);
    if (!name || name->empty()) return "Output";
    return *name;
}

DeviceID MacVolumeAdapter::deviceWithID(const std::string& id) {
    for (DeviceID device : outputDeviceIDs())
        if (uid(device) == id) return device;
    throw DeckError::notFound();
}

std::optional<double> MacVolumeAdapter::channelVolume(DeviceID device) {
    auto first = audio_->channelVolume(device, 1);
    auto second = audio_->channelVolume(device, 2);
    if (first && second) return (static_cast<double>(*first) + *second) / 2;
    if (first) return *first;
    if (second) return *second;
    return std::nullopt;
}

// Empty where the device's volume cannot be read at all (the caller decides
// what stands in for it).
std::optional<double> MacVolumeAdapter::readVolume(DeviceID device, const Known& known) {
    auto main = audio_->mainVolume(device);
    auto channels = channelVolume(device);
    if (main && *main >= 0) {
        if (channels && std::abs(*channels - *main) > kChannelTolerance) return channels;
        return *main;
    }
    if (channels) return channels;
    if (device == known.device) return known.lastVolume;
    return std::nullopt;
}

// ---- the cache ----

void MacVolumeAdapter::refreshCache(bool emit) {
    if (!audioQ_->isCurrent()) return audioQ_->sync([&] { refreshCache(emit); });

    Known now;
    {
        std::lock_guard lock(mutex_);
        known_.device = audio_->defaultOutput().value_or(kNoDevice);
        now = known_;
    }
    bindDeviceListeners();

    auto describe = [&](DeviceID device, const std::string& id) {
        bool isDefault = device == now.device;
        AudioOutput output;
        output.id = id;
        output.name = name(device);
        output.volume = readVolume(device, now).value_or(isDefault ? now.lastVolume : 0.0);
        output.muted = audio_->mute(device).value_or(isDefault && now.lastMuted);
        output.current = isDefault;
        return output;
    };
    std::vector<AudioOutput> outputs;
    for (DeviceID device : outputDeviceIDs()) {
        std::string id = uid(device);
        if (id.empty()) continue;
        outputs.push_back(describe(device, id));
    }
    // The default output is listed even when it cannot play.
    bool anyCurrent = std::any_of(outputs.begin(), outputs.end(), [](const AudioOutput& o) { return o.current; });
    if (now.device != kNoDevice && !anyCurrent) {
        std::string id = uid(now.device);
        if (!id.empty()) outputs.push_back(describe(now.device, id));
    }

    cachedOutputs_ = std::move(outputs);
    auto current = std::find_if(cachedOutputs_.begin(), cachedOutputs_.end(), [](const AudioOutput& o) {
        return o.current;
    });
    if (current != cachedOutputs_.end()) {
        std::lock_guard lock(mutex_);
        // A write since `now` was taken schedules its own refresh.
        if (known_.writes == now.writes) {
            known_.lastVolume = current->volume;
            known_.lastMuted = current->muted;
        }
    }
    if (emit) emitIfChanged();
}

void MacVolumeAdapter::emitIfChanged() {
    Known now = known();
    if (cachedOutputs_ == publishedOutputs_ && now.lastVolume == publishedVolume_ && publishedMuted_ == now.lastMuted)
        return;
    publishedOutputs_ = cachedOutputs_;
    publishedVolume_ = now.lastVolume;
    publishedMuted_ = now.lastMuted;
    changed();
}

std::vector<AudioOutput> MacVolumeAdapter::outputs() {
    return audioQ_->sync([this] { return cachedOutputs_; });
}

void MacVolumeAdapter::scheduleRefresh() {
    std::weak_ptr<MacVolumeAdapter> weak = weak_from_this();
    audioQ_->async([weak] {
        if (auto self = weak.lock()) self->refreshCache(true);
    });
}

// ---- listeners and poll ----

void MacVolumeAdapter::installListeners() {
    std::weak_ptr<MacVolumeAdapter> weak = weak_from_this();
    propertyListener_ = std::make_shared<const audio::Listener>([weak] {
        if (auto self = weak.lock()) self->scheduleRefresh();
    });
    bindDeviceListeners();
    audio_->addListener(Property::defaultOutput, kNoDevice, audioQ_, propertyListener_);
    audio_->addListener(Property::devices, kNoDevice, audioQ_, propertyListener_);
}

void MacVolumeAdapter::bindDeviceListeners() {
    if (!propertyListener_) return;
    DeviceID current = device();
    if (listeningDevice_ != kNoDevice && listeningDevice_ != current) {
        audio_->removeListener(Property::mainVolume, listeningDevice_, propertyListener_);
        audio_->removeListener(Property::mute, listeningDevice_, propertyListener_);
        listeningDevice_ = kNoDevice;
    }
    if (current != kNoDevice && current != listeningDevice_) {
        audio_->addListener(Property::mainVolume, current, audioQ_, propertyListener_);
        audio_->addListener(Property::mute, current, audioQ_, propertyListener_);
        listeningDevice_ = current;
    }
}

void MacVolumeAdapter::startPoll(double interval) {
    std::weak_ptr<MacVolumeAdapter> weak = weak_from_this();
    poll_ = dispatch::DispatchTimer::create(*audioQ_, dispatch::seconds(interval), dispatch::seconds(kPollLeeway),
                                            [weak] {
                                                if (auto self = weak.lock()) self->refreshCache(true);
                                            });
    poll_->start();
}

// ---- writes ----

void MacVolumeAdapter::runPactl(std::vector<std::string> arguments) {
    if (auto server = audio_->serverAddress()) arguments.insert(arguments.begin(), "--server=" + *server);
    runCommand_(kPactl, arguments, kScriptTimeout);
}

namespace {
std::string percent(float level) { return std::to_string(std::lround(static_cast<double>(level) * 100)) + "%"; }
}  // namespace

// Every write is tried; any one that lands counts.
bool MacVolumeAdapter::setAudioVolume(float level, DeviceID device) {
    bool landed = audio_->setMainVolume(device, level);
    for (unsigned element : {0u, 1u, 2u}) landed = audio_->setChannelVolume(device, element, level) || landed;
    return landed;
}

void MacVolumeAdapter::setVolume(double level) {
    auto clamped = static_cast<float>(clampedLevel(level));
    if (!setAudioVolume(clamped, device())) runPactl({"set-sink-volume", "@DEFAULT_SINK@", percent(clamped)});
    {
        std::lock_guard lock(mutex_);
        known_.lastVolume = clamped;
        ++known_.writes;
    }
    scheduleRefresh();
    changed();
}

void MacVolumeAdapter::setMuted(bool muted) {
    if (!audio_->setMute(device(), muted)) runPactl({"set-sink-mute", "@DEFAULT_SINK@", muted ? "1" : "0"});
    {
        std::lock_guard lock(mutex_);
        known_.lastMuted = muted;
        ++known_.writes;
    }
    scheduleRefresh();
    changed();
}

void MacVolumeAdapter::selectOutput(const std::string& id) {
    DeviceID target = deviceWithID(id);
    if (!audio_->setDefaultOutput(target)) throw DeckError::permissionDenied("Audio output");
    {
        std::lock_guard lock(mutex_);
        known_.device = target;
    }
    refreshCache(true);
    changed();
}

void MacVolumeAdapter::setVolumeOn(DeviceID device, double level) {
    auto clamped = static_cast<float>(clampedLevel(level));
    bool isDefault = audio_->defaultOutput() == device;
    if (!setAudioVolume(clamped, device)) {
        if (!isDefault) throw DeckError::permissionDenied("Volume");
        runPactl({"set-sink-volume", "@DEFAULT_SINK@", percent(clamped)});
    }
    if (isDefault) {
        std::lock_guard lock(mutex_);
        known_.lastVolume = clamped;
        ++known_.writes;
    }
}

void MacVolumeAdapter::setVolume(double level, const std::optional<std::string>& deviceId) {
    if (!deviceId || deviceId->empty()) return setVolume(level);
    setVolumeOn(deviceWithID(*deviceId), level);
    scheduleRefresh();
    changed();
}

}  // namespace veltrane::deck
