#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/process/Shell.h"
#include "platform/process/ChildProcess.h"

namespace veltrane::testing {

// A PulseAudio server of the test's own, in a temporary folder, with two null
// sinks: "speakers" (described "Speakers", the default) and "headphones"
// ("Headphones"). It never touches the user's audio setup.
class PrivatePulseServer {
public:
    PrivatePulseServer();
    ~PrivatePulseServer();
    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    // Why the server could not be started; empty while it runs.
    const std::string& failure() const { return failure_; }
    bool running() const { return failure_.empty() && daemon_ != nullptr; }
    // "unix:<folder>/native": for libpulse and for pactl --server.
    const std::string& address() const { return address_; }

    // pactl against this server.
    process::ShellResult pactl(const std::vector<std::string>& arguments) const;
    // The first line of pactl's output, trimmed.
    std::string pactlLine(const std::vector<std::string>& arguments) const;

    // Stops the server; start() brings a fresh one up at the same address.
    void stop();
    bool start();

private:
    std::string folder_;
    std::string address_;
    std::string failure_;
    std::unique_ptr<process::ChildProcess> daemon_;
};

}  // namespace veltrane::testing
