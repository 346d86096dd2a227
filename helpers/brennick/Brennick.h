#pragma once
// The monitor session: copies of the playback streams of the applications
// with windows on the streamed display, converted to 48 kHz stereo 16-bit,
// mixed and written as packets. What is heard locally does not change, so
// the output switch does nothing here.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "helpers/brennick/AudioCaptureSession.h"
#include "helpers/brennick/CoreAudioTapCapture.h"
#include "helpers/brennick/StreamMixer.h"
#include "platform/audio/SampleConverter.h"
#include "platform/audio/StreamMonitor.h"
#include "platform/dispatch/SerialQueue.h"

namespace veltrane::brennick {

class Brennick final : public AudioCaptureSession, public std::enable_shared_from_this<Brennick> {
public:
    static constexpr const char* kCaptureQueueLabel = "com.tovrik.orrisfold.audio-capture";
    static constexpr const char* kOutputQueueLabel = "com.tovrik.orrisfold.audio-capture-output";

    static std::shared_ptr<Brennick> create(Options options, std::shared_ptr<audio::StreamMonitor> monitor,
                                            SessionEnvironment environment);

    void start() override;
    void stop() override;
    void setOutputOnMac(bool) override {}

    // The window owners on the display, in the order of their first window.
    std::vector<pid_t> contentFilter();

private:
    Brennick(Options options, std::shared_ptr<audio::StreamMonitor> monitor, SessionEnvironment environment);
    void applyFilter(const std::vector<pid_t>& included);
    void refresh();
    // On captureQueue_ only.
    void handleSamples(std::uint32_t stream, const audio::StreamFormat& format, const std::vector<float>& samples);
    std::vector<std::int16_t> convertToPCM16(std::uint32_t stream, const audio::StreamFormat& format,
                                             const std::vector<float>& samples);
    void writePacket(std::vector<std::uint8_t> chunk);

    const Options options_;
    const std::shared_ptr<audio::StreamMonitor> monitor_;
    const SessionEnvironment environment_;
    std::shared_ptr<dispatch::SerialQueue> captureQueue_;
    std::shared_ptr<PacketWriter> writer_;
    RefreshLoop refreshLoop_;
    std::atomic<bool> stopping_{false};
    std::mutex lifecycleMutex_;   // start() and stop() never overlap
    std::mutex streamsMutex_;     // monitored_
    std::set<std::uint32_t> monitored_;
    // On captureQueue_ only.
    std::map<std::uint32_t, std::unique_ptr<audio::SampleConverter>> converters_;
    StreamMixer mixer_;
};

}  // namespace veltrane::brennick
