#include "platform/process/StreamingChild.h"

#include <signal.h>

#include <chrono>

#include "platform/process/ChildProcess.h"

namespace veltrane::process {
namespace {

using namespace std::chrono_literals;

// How long one pump waits: also how soon the destructor's stop is seen.
constexpr auto kPumpSlice = 100ms;
// A child that closed its pipes is looked at this often until it ends.
constexpr auto kExitPoll = 50ms;
constexpr auto kTermGrace = 400ms;

}  // namespace

std::unique_ptr<StreamingChild> StreamingChild::start(const std::string& path,
                                                      const std::vector<std::string>& arguments, Handlers handlers,
                                                      std::string& error) {
    auto child = ChildProcess::spawn(path, arguments, error);
    if (!child) return nullptr;
    auto streaming = std::unique_ptr<StreamingChild>(new StreamingChild(std::move(child), std::move(handlers)));
    streaming->reader_ = std::thread([raw = streaming.get()] { raw->read(); });
    return streaming;
}

StreamingChild::StreamingChild(std::unique_ptr<ChildProcess> child, Handlers handlers)
    : child_(std::move(child)), pid_(child_->pid()), handlers_(std::move(handlers)) {}

StreamingChild::~StreamingChild() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (reader_.joinable()) reader_.join();
    if (!child_->isRunning()) return;
    child_->sendSignal(SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kTermGrace;
    while (child_->isRunning() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    if (child_->isRunning()) child_->sendSignal(SIGKILL);
    // The child object reaps a child that is still ending in the background.
}

void StreamingChild::read() {
    auto stopping = [this] {
        std::lock_guard lock(mutex_);
        return stopping_;
    };
    while (!stopping()) {
        if (child_->pipesOpen()) {
            child_->pump(kPumpSlice, [this](ChildProcess::Stream stream, const char* data, std::size_t size) {
                if (stream == ChildProcess::Stream::out && handlers_.output) handlers_.output(std::string(data, size));
            });
            continue;
        }
        if (!child_->isRunning()) {
            running_ = false;
            if (handlers_.ended) handlers_.ended();
            return;
        }
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, kExitPoll, [this] { return stopping_; });
    }
}

}  // namespace veltrane::process
