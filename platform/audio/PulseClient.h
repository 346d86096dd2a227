#pragma once
// A blocking libpulse client on a threaded main loop, for the helpers that
// reroute and record other programs' streams. Every call waits for the
// server's answer; failures throw PulseError naming the libpulse call.

#include <pulse/pulseaudio.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::audio {

class PulseError : public std::runtime_error {
public:
    // "<call> returned <-code>", the code being libpulse's error number.
    PulseError(std::string call, int code);
    const std::string& call() const { return call_; }
    int code() const { return code_; }

private:
    std::string call_;
    int code_;
};

struct PulseClientInfo {
    std::uint32_t index = 0;
    std::optional<pid_t> pid;                // application.process.id, read strictly
    std::optional<std::string> applicationID;  // application.id
};

struct PulseSinkInputInfo {
    std::uint32_t index = 0;
    std::uint32_t client = PA_INVALID_INDEX;
    std::uint32_t sink = PA_INVALID_INDEX;
    std::uint32_t ownerModule = PA_INVALID_INDEX;
    pa_sample_spec sampleFormat{};
};

struct PulseSinkInfo {
    std::uint32_t index = 0;
    std::string name;
    std::string monitorSource;
    std::uint32_t ownerModule = PA_INVALID_INDEX;
    std::map<std::string, std::string> properties;
};

struct PulseModuleInfo {
    std::uint32_t index = 0;
    std::string name;
    std::string argument;
};

// A process id as a property holds it: decimal digits only, 1 to INT32_MAX.
std::optional<pid_t> parseStrictPID(std::string_view text);

class PulseClient {
public:
    // Connects to the server the environment names (PULSE_SERVER, client.conf,
    // the user's runtime folder).
    explicit PulseClient(const std::string& clientName);
    ~PulseClient();
    PulseClient(const PulseClient&) = delete;
    PulseClient& operator=(const PulseClient&) = delete;

    std::vector<PulseClientInfo> clients();
    std::vector<PulseSinkInputInfo> sinkInputs();
    std::vector<PulseSinkInfo> sinks();
    std::vector<PulseModuleInfo> modules();
    std::string defaultSinkName();

    std::uint32_t loadModule(const std::string& name, const std::string& argument);
    void unloadModule(std::uint32_t index);
    void moveSinkInput(std::uint32_t sinkInput, std::uint32_t sink);

    // Called on the main-loop thread for each new sink input; it must not call
    // back into this client (queue the work instead). Replaces any earlier one.
    void onNewSinkInput(std::function<void(std::uint32_t)> handler);

    // A recording of `source`. `onData` runs on the main-loop thread with the
    // bytes of one read (null data for a hole of that many bytes); it must
    // not call back into this client. With `monitoredSinkInput` it records
    // only that stream of the sink whose monitor `source` is.
    class Recording;
    std::unique_ptr<Recording> record(const std::string& source, const pa_sample_spec& sampleFormat,
                                      std::uint32_t fragmentBytes, std::optional<std::uint32_t> monitoredSinkInput,
                                      std::function<void(const void*, std::size_t)> onData);

private:
    friend class Recording;
    struct Loop;
    std::shared_ptr<Loop> loop_;
};

class PulseClient::Recording {
public:
    ~Recording();  // disconnects
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;
    // The format the server records in, once connected.
    pa_sample_spec sampleFormat() const { return sampleFormat_; }

private:
    friend class PulseClient;
    Recording() = default;
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    std::shared_ptr<Loop> loop_;
    pa_stream* stream_ = nullptr;
    pa_sample_spec sampleFormat_{};
    std::function<void(const void*, std::size_t)> onData_;
    std::vector<std::uint8_t> scratch_;  // on the main-loop thread only
};

}  // namespace veltrane::audio
