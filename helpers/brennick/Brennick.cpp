#include "helpers/brennick/Brennick.h"

#include <algorithm>

namespace veltrane::brennick {

std::shared_ptr<Brennick> Brennick::create(Options options, std::shared_ptr<audio::StreamMonitor> monitor,
                                           SessionEnvironment environment) {
    return std::shared_ptr<Brennick>(new Brennick(options, std::move(monitor), std::move(environment)));
}

Brennick::Brennick(Options options, std::shared_ptr<audio::StreamMonitor> monitor, SessionEnvironment environment)
    : options_(options), monitor_(std::move(monitor)), environment_(std::move(environment)),
      captureQueue_(dispatch::SerialQueue::create(kCaptureQueueLabel)) {
    writer_ = PacketWriter::create(kOutputQueueLabel, environment_.outputFD, environment_.onOutputLost);
}

std::vector<pid_t> Brennick::contentFilter() {
    auto bounds = environment_.windows->bounds(options_.displayID);
    auto windows = bounds ? environment_.windows->windows() : std::nullopt;
    if (!bounds || !windows) throw AudioCaptureError(displayUnavailable(options_.displayID));
    std::vector<pid_t> included;
    for (const auto& owner : windowOwnersOn(*windows, *bounds)) included.push_back(owner.pid);
    return included;
}

void Brennick::start() {
    std::lock_guard lifecycle(lifecycleMutex_);
    if (stopping_) throw StartCancelled();
    try {
        applyFilter(contentFilter());
    } catch (const AudioCaptureError&) {
        throw;
    } catch (const std::exception& error) {
        throw AudioCaptureError(error.what());
    }
    std::weak_ptr<Brennick> weak = weak_from_this();
    refreshLoop_.start(environment_.refreshInterval, [weak] {
        if (auto self = weak.lock()) self->refresh();
    });
    environment_.log("Tablet display application audio active at 48 kHz stereo");
}

// Streams already copied stay as they are; only the difference changes.
void Brennick::applyFilter(const std::vector<pid_t>& included) {
    const std::set<pid_t> owners(included.begin(), included.end());
    std::set<std::uint32_t> wanted;
    for (const auto& stream : monitor_->playbackStreams())
        if (owners.count(stream.clientPID)) wanted.insert(stream.id);
    std::lock_guard lock(streamsMutex_);
    for (auto it = monitored_.begin(); it != monitored_.end();) {
        if (wanted.count(*it)) {
            ++it;
            continue;
        }
        monitor_->stopMonitoring(*it);
        captureQueue_->async([weak = weak_from_this(), id = *it] {
            if (auto self = weak.lock()) {
                self->mixer_.remove(id);
                self->converters_.erase(id);
            }
        });
        it = monitored_.erase(it);
    }
    std::weak_ptr<Brennick> weak = weak_from_this();
    for (auto id : wanted) {
        if (monitored_.count(id)) continue;
        monitor_->startMonitoring(id, [weak, id, queue = std::weak_ptr(captureQueue_)](
                                          const audio::StreamFormat& format, const float* samples, std::size_t frames) {
            auto q = queue.lock();
            if (!q || frames == 0) return;
            std::vector<float> copy(samples, samples + frames * static_cast<std::size_t>(format.channels));
            q->async([weak, id, format, copy = std::move(copy)] {
                if (auto self = weak.lock()) self->handleSamples(id, format, copy);
            });
        });
        monitored_.insert(id);
    }
}

void Brennick::refresh() {
    try {
        applyFilter(contentFilter());
    } catch (const std::exception& error) {
        environment_.log(std::string("Could not refresh tablet-display audio filter: ") + error.what());
    }
}

void Brennick::handleSamples(std::uint32_t stream, const audio::StreamFormat& format, const std::vector<float>& samples) {
    if (stopping_) return;
    try {
        mixer_.add(stream, convertToPCM16(stream, format, samples));
    } catch (const std::exception& error) {
        environment_.log(std::string("Audio conversion failed: ") + error.what());
        return;
    }
    for (auto& block : mixer_.takeBlocks()) writePacket(std::move(block));
}

std::vector<std::int16_t> Brennick::convertToPCM16(std::uint32_t stream, const audio::StreamFormat& format,
                                                   const std::vector<float>& samples) {
    auto& converter = converters_[stream];
    if (!converter || converter->inputRate() != format.sampleRate || converter->inputChannels() != format.channels)
        converter = std::make_unique<audio::SampleConverter>(format.sampleRate, format.channels);
    return converter->convert(samples.data(), samples.size() / static_cast<std::size_t>(format.channels));
}

void Brennick::writePacket(std::vector<std::uint8_t> chunk) { writer_->submit(std::move(chunk)); }

void Brennick::stop() {
    stopping_ = true;
    std::lock_guard lifecycle(lifecycleMutex_);
    refreshLoop_.cancel();
    std::lock_guard lock(streamsMutex_);
    for (auto id : monitored_) monitor_->stopMonitoring(id);
    monitored_.clear();
}

}  // namespace veltrane::brennick
