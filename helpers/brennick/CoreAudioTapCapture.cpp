#include "helpers/brennick/CoreAudioTapCapture.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace veltrane::brennick {

std::shared_ptr<CoreAudioTapCapture> CoreAudioTapCapture::create(Options options, std::shared_ptr<audio::ProcessTap> tap,
                                                                 SessionEnvironment environment,
                                                                 ProcessAncestry ancestry) {
    return std::shared_ptr<CoreAudioTapCapture>(
        new CoreAudioTapCapture(options, std::move(tap), std::move(environment), std::move(ancestry)));
}

CoreAudioTapCapture::CoreAudioTapCapture(Options options, std::shared_ptr<audio::ProcessTap> tap,
                                         SessionEnvironment environment, ProcessAncestry ancestry)
    : options_(options), tap_(std::move(tap)), environment_(std::move(environment)), ancestry_(std::move(ancestry)) {
    writer_ = PacketWriter::create(kOutputQueueLabel, environment_.outputFD, environment_.onOutputLost);
}

CoreAudioTapCapture::Targets CoreAudioTapCapture::audioTargetsOnOrrisfold() {
    // Unlike the tap itself, an unknown display is an error here: tapping
    // nothing and reporting success would stream silence without a word.
    auto bounds = environment_.windows->bounds(options_.displayID);
    auto windows = bounds ? environment_.windows->windows() : std::nullopt;
    if (!bounds || !windows) throw AudioCaptureError(displayUnavailable(options_.displayID));
    std::set<pid_t> windowProcesses;
    std::set<std::string> bundles;
    for (const auto& owner : windowOwnersOn(*windows, *bounds)) {
        windowProcesses.insert(owner.pid);
        if (!owner.bundleID.empty()) bundles.insert(owner.bundleID);
    }
    std::set<pid_t> targets;
    for (const auto& object : tap_->processObjects()) {
        if (!ancestry_.belongsTo(object.pid, windowProcesses)) continue;
        targets.insert(object.pid);
        if (object.bundleID) bundles.insert(*object.bundleID);
    }
    return Targets{{targets.begin(), targets.end()}, {bundles.begin(), bundles.end()}};
}

void CoreAudioTapCapture::checkNotStopping() {
    if (stopping_) throw StartCancelled();
}

void CoreAudioTapCapture::start() {
    std::lock_guard lifecycle(lifecycleMutex_);
    checkNotStopping();
    try {
        tap_->undoAbandonedTaps();
        Targets targets = audioTargetsOnOrrisfold();
        checkNotStopping();
        {
            std::lock_guard lock(tapLock_);
            tapDescription_ = audio::TapDescription{targets.processIDs, targets.bundleIDs, audio::TapMute::mutedWhenTapped};
            tapped_ = targets;
            tap_->create(tapDescription_);
        }
        checkNotStopping();
        std::weak_ptr<CoreAudioTapCapture> weak = weak_from_this();
        tap_->startReading([weak](audio::FloatBufferList buffers) {
            if (auto self = weak.lock()) self->handleAudio(buffers);
        });
        {
            std::lock_guard lock(tapLock_);
            running_ = true;
        }
        checkNotStopping();
        refreshLoop_.start(environment_.refreshInterval, [weak] {
            if (auto self = weak.lock()) self->refresh();
        });
        environment_.log("Core Audio app tap active for " + std::to_string(targets.processIDs.size()) +
                         " processes; tablet-display apps are muted locally while streamed");
    } catch (const audio::TapFailure& failure) {
        tearDown();
        throw AudioCaptureError(failure.what(), failure.refused());
    } catch (...) {
        tearDown();
        throw;
    }
}

void CoreAudioTapCapture::tearDown() {
    refreshLoop_.cancel();
    std::lock_guard lock(tapLock_);
    running_ = false;
    tap_->stopReading();
    tap_->destroy();
}

void CoreAudioTapCapture::stop() {
    stopping_ = true;
    std::lock_guard lifecycle(lifecycleMutex_);
    tearDown();
}

void CoreAudioTapCapture::setOutputOnMac(bool on) {
    std::lock_guard lock(tapLock_);
    if (!running_ || !tap_->exists()) return;
    tapDescription_.mute = on ? audio::TapMute::unmuted : audio::TapMute::mutedWhenTapped;
    try {
        tap_->update(tapDescription_);
        environment_.log(on ? "Audio output switched to MacBook speakers" : "Audio output switched to tablet");
    } catch (const audio::TapFailure& failure) {
        environment_.log(std::string("Could not change audio output: ") + failure.what());
    }
}

void CoreAudioTapCapture::refresh() {
    Targets previous;
    {
        std::lock_guard lock(tapLock_);
        if (!running_) return;
        previous = tapped_;
    }
    Targets targets;
    try {
        targets = audioTargetsOnOrrisfold();
    } catch (const std::exception& error) {
        environment_.log(std::string("Could not refresh Core Audio app filter: ") + error.what());
        return;
    }
    if (targets == previous) return;
    std::lock_guard lock(tapLock_);
    if (!running_) return;
    tapDescription_.processes = targets.processIDs;
    tapDescription_.bundleIDs = targets.bundleIDs;
    try {
        tap_->update(tapDescription_);
        tapped_ = targets;
    } catch (const audio::TapFailure& failure) {
        environment_.log(std::string("Could not refresh Core Audio app filter: ") + failure.what());
    }
}

std::int16_t CoreAudioTapCapture::pcm16FromFloat(float sample) {
    // A NaN would otherwise become a full-scale click.
    if (std::isnan(sample)) return 0;
    if (sample >= 1.0f) return 32767;
    return static_cast<std::int16_t>(std::max(sample, -1.0f) * 32767.0f);
}

std::vector<std::uint8_t> CoreAudioTapCapture::pcm16FromBuffers(audio::FloatBufferList buffers) {
    if (buffers.empty()) return {};
    const auto& first = buffers[0];
    const bool interleaved = buffers.size() == 1;
    const unsigned channels = interleaved ? std::max(first.channels, 1u) : 1u;
    const std::size_t frames = first.byteSize / (channels * sizeof(float));
    if (frames == 0) return {};
    const float* left = first.data;
    const float* right = nullptr;
    std::size_t rightSamples = 0;
    if (!interleaved && buffers[1].data && buffers[1].byteSize > 0) {
        right = buffers[1].data;
        rightSamples = buffers[1].byteSize / sizeof(float);
    }
    std::vector<std::uint8_t> chunk(frames * 4);
    for (std::size_t i = 0; i < frames; ++i) {
        float l = 0.0f, r = 0.0f;
        if (interleaved) {
            l = left ? left[i * channels] : 0.0f;
            r = left && channels >= 2 ? left[i * channels + 1] : l;
        } else {
            l = left ? left[i] : 0.0f;
            r = right && i < rightSamples ? right[i] : l;
        }
        auto put = [&](std::size_t at, float x) {
            auto v = static_cast<std::uint16_t>(pcm16FromFloat(x));
            chunk[at] = static_cast<std::uint8_t>(v & 0xff);
            chunk[at + 1] = static_cast<std::uint8_t>(v >> 8);
        };
        put(i * 4, l);
        put(i * 4 + 2, r);
    }
    return chunk;
}

void CoreAudioTapCapture::handleAudio(audio::FloatBufferList buffers) { writer_->submit(pcm16FromBuffers(buffers)); }

}  // namespace veltrane::brennick
