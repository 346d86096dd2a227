#pragma once
// An in-memory Connection: the test plays the peer. Its queue is a real
// serial queue, so the socket under test runs as it does on the network.

#include <unistd.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/dispatch/SerialQueue.h"
#include "platform/net/Connection.h"
#include "tests/support/Eventually.h"

namespace veltrane::testing {

class FakeConnection final : public net::Connection, public std::enable_shared_from_this<FakeConnection> {
public:
    static std::shared_ptr<FakeConnection> create() { return std::shared_ptr<FakeConnection>(new FakeConnection); }

    const std::shared_ptr<dispatch::DispatchQueue>& queue() const override { return queue_; }

    void receive(std::size_t, ReceiveHandler handler) override {
        std::lock_guard lock(mutex_);
        pendingReceive_ = std::move(handler);
        pump();
    }

    void send(std::string data, SendHandler handler) override {
        std::lock_guard lock(mutex_);
        sent_.push_back(data);
        if (cancelled_) {
            if (handler) queue_->async([handler] { handler(std::make_error_code(std::errc::operation_canceled)); });
            return;
        }
        if (stalled_) {
            queued_ += data.size();
            held_.push_back(std::move(handler));
            return;
        }
        if (handler) queue_->async([handler] { handler({}); });
    }

    // The range is read at once and sent as bytes.
    void sendFile(std::shared_ptr<const sys::FileDescriptor> file, std::uint64_t offset, std::uint64_t length,
                  SendHandler done, ProgressHandler progress) override {
        std::string bytes(static_cast<std::size_t>(length), '\0');
        const ssize_t n = ::pread(file->get(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        const bool whole = bytes.size() == length;
        send(std::move(bytes), [done = std::move(done), progress = std::move(progress), whole](std::error_code error) {
            if (!error && !whole) error = std::make_error_code(std::errc::io_error);
            if (progress && !error) progress();
            if (done) done(error);
        });
    }

    std::size_t queuedBytes() const override {
        std::lock_guard lock(mutex_);
        return queued_;
    }

    void cancel() override {
        std::lock_guard lock(mutex_);
        ++cancelCount_;
        if (cancelled_) return;
        cancelled_ = true;
        for (auto& handler : held_)
            if (handler) queue_->async([handler] { handler(std::make_error_code(std::errc::operation_canceled)); });
        held_.clear();
        queued_ = 0;
        pump();
    }

    const std::string& remoteHost() const override { return host_; }

    // The peer's side.
    void deliver(std::string bytes) {
        std::lock_guard lock(mutex_);
        inbox_.push_back({std::move(bytes), false});
        pump();
    }
    void endStream() {
        std::lock_guard lock(mutex_);
        inbox_.push_back({{}, true});
        pump();
    }
    // From now on sends are held, as when the peer stops reading.
    void stall() {
        std::lock_guard lock(mutex_);
        stalled_ = true;
    }
    std::vector<std::string> sent() const {
        std::lock_guard lock(mutex_);
        return {sent_.begin(), sent_.end()};
    }
    int cancelCount() const {
        std::lock_guard lock(mutex_);
        return cancelCount_;
    }
    bool receivePending() const {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(pendingReceive_);
    }

private:
    FakeConnection() = default;

    // Completes the pending receive with the next delivery; mutex_ held.
    void pump() {
        if (!pendingReceive_) return;
        if (cancelled_) {
            queue_->async([handler = std::exchange(pendingReceive_, nullptr)] {
                handler({}, false, std::make_error_code(std::errc::operation_canceled));
            });
            return;
        }
        if (inbox_.empty()) return;
        auto [bytes, end] = std::move(inbox_.front());
        inbox_.pop_front();
        queue_->async([handler = std::exchange(pendingReceive_, nullptr), bytes = std::move(bytes), end = end] {
            handler(bytes, end, {});
        });
    }

    std::shared_ptr<dispatch::DispatchQueue> queue_ = dispatch::SerialQueue::create("deck.http.conn");
    mutable std::mutex mutex_;
    ReceiveHandler pendingReceive_;
    std::deque<std::pair<std::string, bool>> inbox_;
    std::deque<std::string> sent_;
    std::vector<SendHandler> held_;
    std::size_t queued_ = 0;
    bool stalled_ = false;
    bool cancelled_ = false;
    int cancelCount_ = 0;
    std::string host_ = "192.0.2.7";
};

}  // namespace veltrane::testing
