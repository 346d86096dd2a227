#include "platform/audio/PulseStreamMonitor.h"

#include <algorithm>

namespace veltrane::audio {

PulseStreamMonitor::PulseStreamMonitor() : client_(std::make_unique<PulseClient>("Veltrane Application Audio")) {}

PulseStreamMonitor::~PulseStreamMonitor() {
    std::lock_guard lock(mutex_);
    recordings_.clear();
}

std::vector<PlaybackStream> PulseStreamMonitor::playbackStreams() {
    auto inputs = client_->sinkInputs();
    auto clients = client_->clients();
    std::vector<PlaybackStream> streams;
    for (const auto& input : inputs) {
        auto client = std::find_if(clients.begin(), clients.end(), [&](const auto& c) { return c.index == input.client; });
        if (client != clients.end() && client->pid) streams.push_back({input.index, *client->pid});
    }
    return streams;
}

void PulseStreamMonitor::startMonitoring(std::uint32_t stream, FrameHandler onFrames) {
    auto inputs = client_->sinkInputs();
    auto input = std::find_if(inputs.begin(), inputs.end(), [&](const auto& i) { return i.index == stream; });
    if (input == inputs.end()) throw PulseError("pa_context_get_sink_input_info_list", PA_ERR_NOENTITY);
    std::string monitor;
    for (const auto& sink : client_->sinks())
        if (sink.index == input->sink) monitor = sink.monitorSource;
    if (monitor.empty()) throw PulseError("pa_context_get_sink_info_list", PA_ERR_NOENTITY);
    pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, input->sampleFormat.rate, std::max<std::uint8_t>(input->sampleFormat.channels, 1)};
    StreamFormat format{static_cast<int>(sampleFormat.rate), sampleFormat.channels};
    const std::size_t frameBytes = sizeof(float) * sampleFormat.channels;
    auto fragment = static_cast<std::uint32_t>(frameBytes * sampleFormat.rate * kFragmentMilliseconds / 1000);
    auto recording = client_->record(monitor, sampleFormat, fragment, stream,
                                     [format, frameBytes, onFrames = std::move(onFrames)](const void* data, std::size_t bytes) {
                                         // A hole in a copy is not worth padding: the mixer fills the gap.
                                         if (data) onFrames(format, static_cast<const float*>(data), bytes / frameBytes);
                                     });
    std::lock_guard lock(mutex_);
    recordings_[stream] = std::move(recording);
}

void PulseStreamMonitor::stopMonitoring(std::uint32_t stream) {
    std::unique_ptr<PulseClient::Recording> ending;
    std::lock_guard lock(mutex_);
    auto it = recordings_.find(stream);
    if (it == recordings_.end()) return;
    ending = std::move(it->second);
    recordings_.erase(it);
}

}  // namespace veltrane::audio
