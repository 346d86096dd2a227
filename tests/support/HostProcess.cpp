#include "tests/support/HostProcess.h"

#include <signal.h>

#include <gtest/gtest.h>

#include "platform/process/ChildProcess.h"

namespace veltrane::testing {

using namespace std::chrono_literals;

std::vector<std::string> hostArguments(std::uint16_t port, const std::filesystem::path& data) {
    return {"--fake-adapters", "--loopback", "--port", std::to_string(port), "--data-dir", data.string()};
}

std::regex listeningLine(std::uint16_t port) {
    return std::regex("\\[deck\\] listening on 127\\.0\\.0\\.1:" + std::to_string(port) + " \\(loopback only\\)");
}

HostProcess::HostProcess(const std::string& binary, const std::vector<std::string>& arguments, bool testMode) {
    std::vector<std::string> args;
    if (testMode) args.push_back("CONTROL_DECK_TEST_MODE=1");
    args.push_back(binary);
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::string error;
    child_ = process::ChildProcess::spawn("/usr/bin/env", args, error);
    if (!child_) {
        ADD_FAILURE() << "could not start " << binary << ": " << error;
        return;
    }
    reader_ = std::thread([this] { readOutput(); });
}

HostProcess::~HostProcess() {
    if (!child_) return;
    if (child_->isRunning()) {
        child_->sendSignal(SIGKILL);
        waitForExit();
    }
    if (reader_.joinable()) reader_.join();
}

pid_t HostProcess::pid() const { return child_ ? child_->pid() : -1; }

void HostProcess::readOutput() {
    // Only this thread touches the pipes; the other members of the child are
    // the test thread's.
    auto sink = [this](process::ChildProcess::Stream stream, const char* data, std::size_t size) {
        {
            std::lock_guard lock(mutex_);
            (stream == process::ChildProcess::Stream::out ? out_ : err_).append(data, size);
        }
        grew_.notify_all();
    };
    while (child_->pump(200ms, sink)) {
    }
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    grew_.notify_all();
}

std::optional<std::string> HostProcess::waitForLine(const std::regex& pattern) {
    if (!child_) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    std::unique_lock lock(mutex_);
    std::size_t start = 0;
    for (;;) {
        for (std::size_t end; (end = out_.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = out_.substr(start, end - start);
            if (std::regex_match(line, pattern)) return line;
        }
        if (ended_) return std::nullopt;
        if (grew_.wait_until(lock, deadline) == std::cv_status::timeout) return std::nullopt;
    }
}

std::optional<int> HostProcess::waitForExit() {
    if (!child_) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (child_->isRunning()) {
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
    // The pipes close with the process (nothing it starts keeps them).
    std::unique_lock lock(mutex_);
    grew_.wait_until(lock, deadline, [this] { return ended_; });
    return child_->terminationStatus();
}

void HostProcess::signal(int number) {
    if (child_) child_->sendSignal(number);
}

std::string HostProcess::out() const {
    std::lock_guard lock(mutex_);
    return out_;
}

std::string HostProcess::err() const {
    std::lock_guard lock(mutex_);
    return err_;
}

}  // namespace veltrane::testing
