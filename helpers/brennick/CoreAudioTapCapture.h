#pragma once
// The tap session: the processes of the applications with windows on the
// streamed display (and their children) are tapped into one private mix,
// silenced locally while streamed unless the output is switched back on;
// the mix goes out as packets. Every 2 s the targets are looked for again.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "helpers/brennick/AudioCaptureSession.h"
#include "helpers/brennick/ContentFilter.h"
#include "helpers/brennick/Options.h"
#include "helpers/brennick/PacketWriter.h"
#include "helpers/brennick/ProcessAncestry.h"
#include "helpers/brennick/RefreshLoop.h"
#include "platform/audio/ProcessTap.h"

namespace veltrane::brennick {

// What a session needs around it; tests substitute each part.
struct SessionEnvironment {
    std::shared_ptr<DisplayWindows> windows;
    std::function<void(const std::string&)> log;  // one message line, without its line feed
    int outputFD = 1;
    std::function<void()> onOutputLost;           // the reader of the packets is gone
    std::chrono::milliseconds refreshInterval{2000};
};

class CoreAudioTapCapture final : public AudioCaptureSession,
                                  public std::enable_shared_from_this<CoreAudioTapCapture> {
public:
    static constexpr const char* kOutputQueueLabel = "com.tovrik.orrisfold.audio-tap-output";

    struct Targets {
        std::vector<pid_t> processIDs;       // ascending
        std::vector<std::string> bundleIDs;  // ascending
        bool operator==(const Targets&) const = default;
    };

    static std::shared_ptr<CoreAudioTapCapture> create(Options options, std::shared_ptr<audio::ProcessTap> tap,
                                                       SessionEnvironment environment,
                                                       ProcessAncestry ancestry = ProcessAncestry());

    void start() override;
    void stop() override;
    void setOutputOnMac(bool on) override;

    Targets audioTargetsOnOrrisfold();

    // One cycle of float frames as one chunk of 16-bit stereo frames: a
    // mono buffer plays on both sides, a missing right channel repeats the
    // left, missing data counts as silence; 1.0 and above give 32767, -1.0
    // and below -32767, NaN 0.
    static std::vector<std::uint8_t> pcm16FromBuffers(audio::FloatBufferList buffers);
    static std::int16_t pcm16FromFloat(float sample);
    void handleAudio(audio::FloatBufferList buffers);

private:
    CoreAudioTapCapture(Options options, std::shared_ptr<audio::ProcessTap> tap, SessionEnvironment environment,
                        ProcessAncestry ancestry);
    void refresh();
    void checkNotStopping();
    void tearDown();

    const Options options_;
    const std::shared_ptr<audio::ProcessTap> tap_;
    const SessionEnvironment environment_;
    const ProcessAncestry ancestry_;
    std::shared_ptr<PacketWriter> writer_;
    RefreshLoop refreshLoop_;
    std::atomic<bool> stopping_{false};
    std::mutex lifecycleMutex_;  // start() and the teardown never overlap
    std::mutex tapLock_;         // the fields below
    bool running_ = false;
    audio::TapDescription tapDescription_;
    Targets tapped_;
};

}  // namespace veltrane::brennick
