#pragma once
// The control-deck program started as a child for tests: its output is read
// on a thread of its own, so a chatty host never blocks on a full pipe, and
// every wait has a generous guard that only protects against a hung child.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace veltrane::process {
class ChildProcess;
}

namespace veltrane::testing {

// A host with fake adapters on 127.0.0.1:`port`, its data in `data`.
std::vector<std::string> hostArguments(std::uint16_t port, const std::filesystem::path& data);
// The line such a host logs once it listens.
std::regex listeningLine(std::uint16_t port);

class HostProcess {
public:
    static constexpr std::chrono::seconds kPatience{60};

    // Starts `binary` with `arguments` through /usr/bin/env; with `testMode`
    // CONTROL_DECK_TEST_MODE=1 is set for it. Fails the calling test when the
    // program cannot be started.
    HostProcess(const std::string& binary, const std::vector<std::string>& arguments, bool testMode = false);
    // Kills a host still running (SIGKILL) and reaps it.
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    bool started() const { return child_ != nullptr; }
    pid_t pid() const;

    // The first whole output line (standard output) that matches, waiting
    // for it; nothing when the host ends or the guard passes first.
    std::optional<std::string> waitForLine(const std::regex& pattern);
    // Waits for the host to end; its status (see ChildProcess), or nothing
    // when it did not end within the guard.
    std::optional<int> waitForExit();
    void signal(int number);

    std::string out() const;
    std::string err() const;

private:
    void readOutput();

    std::unique_ptr<process::ChildProcess> child_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable grew_;
    std::string out_;
    std::string err_;
    bool ended_ = false;  // both pipes reached their end
};

}  // namespace veltrane::testing
