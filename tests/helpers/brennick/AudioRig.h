#pragma once
// The stage for the application-audio tests: a private Xorg with a second
// output (the streamed display) right of the main one, a private PulseAudio,
// ffplay windows playing tones, and the means to listen (Goertzel).

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/process/ChildProcess.h"
#include "tests/support/TempDirectory.h"
#include "tools/pulse/PrivatePulseServer.h"
#include "tools/xorg/PrivateXorg.h"

namespace veltrane::testing {

// Amplitude of `frequency` in 16-bit samples at 48 kHz, 1.0 being full scale.
double toneLevel(const std::vector<std::int16_t>& samples, double frequency);

struct RunResult {
    int status = -1;
    std::string out;
};
// Runs a program to its end (bounded) and returns what it wrote.
RunResult runProgram(const std::string& path, const std::vector<std::string>& args);

class AudioRig {
public:
    AudioRig();
    ~AudioRig();

    // Why the stage cannot be set up; empty when it stands.
    const std::string& failure() const { return failure_; }
    std::uint32_t streamedOutput() const { return streamedOutput_; }
    PrivatePulseServer& pulse() { return pulse_; }

    // A window at (x, 100) of class `windowClass`, playing a sine.
    pid_t startTone(int frequency, const std::string& windowClass, int x);
    // A silent window at (x, 100) whose shell parent first starts paplay with a sine.
    pid_t startWindowWithPlayingChild(int frequency, int x);

    // How many sink inputs the server has now.
    int sinkInputCount();
    // "<sink input> <sink name>" per sink input, and the names of all sinks and modules.
    std::vector<std::pair<std::string, std::string>> sinkInputSinks();
    std::string sinksAndModules();
    // The sink input that process `pid` plays; empty when it plays none.
    std::string sinkInputOf(pid_t pid);
    // One channel of what the default sink plays, for `duration`.
    std::vector<std::int16_t> listenToSpeakers(std::chrono::milliseconds duration);

    // x of a point on the main and the streamed output.
    static constexpr int kMainX = 100;
    static constexpr int kStreamedX = 2000;

private:
    std::string runXrandr(const std::vector<std::string>& args);
    TempDirectory folder_;
    PrivateXorg xorg_;
    PrivatePulseServer pulse_;
    std::string failure_;
    std::uint32_t streamedOutput_ = 0;
    std::vector<std::unique_ptr<process::ChildProcess>> apps_;
};

// A helper program with all three standard streams on pipes. Its standard
// output is read as packets on a thread of its own.
class HelperProcess {
public:
    HelperProcess(const std::string& path, const std::vector<std::string>& args);
    ~HelperProcess();

    pid_t pid() const { return pid_; }
    void writeInput(const std::string& bytes);
    void closeInput();
    void closeOutput();  // the reader goes away
    void signal(int number);
    // Waits (bounded) for the end; the wait status, or -1 if it did not end.
    int wait(std::chrono::milliseconds bound = std::chrono::seconds(10));

    // Lines written to standard error so far.
    std::vector<std::string> errorLines();
    bool waitForErrorLines(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10));
    // Left channel of all packets so far, and the packet checks.
    std::vector<std::int16_t> left();
    std::size_t packetCount();
    std::size_t framesReceived();
    std::string packetFault();
    // The left channel of what arrives during `duration` from now.
    std::vector<std::int16_t> collect(std::chrono::milliseconds duration);

private:
    void readPackets();
    void readErrors();
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    bool reaped_ = false;
    std::atomic<bool> stopReading_{false};
    std::mutex mutex_;
    bool errorsEnded_ = false;  // under mutex_
    std::condition_variable changed_;
    std::vector<std::int16_t> left_;
    std::size_t packets_ = 0;
    std::string fault_;
    std::string errors_;
    std::thread outReader_, errReader_;
};

}  // namespace veltrane::testing
