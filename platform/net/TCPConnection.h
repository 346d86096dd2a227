#pragma once
// The Asio implementation of Connection (internal to platform/net).

#include <atomic>
#include <deque>
#include <memory>

#include <asio/ip/tcp.hpp>

#include "platform/net/Connection.h"
#include "platform/net/StrandQueue.h"

namespace veltrane::net {

// Asio reports system errors in a category of its own that does not compare
// equal to std::errc values; callers get them in std::system_category().
std::error_code standardError(const std::error_code& error);

class TCPConnection final : public Connection, public std::enable_shared_from_this<TCPConnection> {
public:
    // Takes an accepted socket; its queue is a strand labelled `label`.
    static std::shared_ptr<TCPConnection> create(asio::ip::tcp::socket socket, std::string label);

    const std::shared_ptr<dispatch::DispatchQueue>& queue() const override { return queueBase_; }
    void receive(std::size_t maximumLength, ReceiveHandler handler) override;
    void send(std::string data, SendHandler handler) override;
    std::size_t queuedBytes() const override { return queued_.load(std::memory_order_relaxed); }
    void cancel() override;
    const std::string& remoteHost() const override { return remoteHost_; }

private:
    TCPConnection(asio::ip::tcp::socket socket, std::shared_ptr<StrandQueue> queue);
    // Runs `fn` now when already on the strand, else queues it there.
    template <class F>
    void onQueue(F fn);
    void startReceive(std::size_t maximumLength, ReceiveHandler handler);
    void writeNext();
    void failQueued(std::error_code error);

    struct Outgoing {
        std::string data;
        SendHandler done;
    };

    std::shared_ptr<StrandQueue> queue_;
    std::shared_ptr<dispatch::DispatchQueue> queueBase_;
    asio::ip::tcp::socket socket_;
    std::string remoteHost_;
    // Read scratch: starts small (most requests are a few hundred bytes and a
    // stalled peer should cost little) and doubles while reads fill it.
    std::unique_ptr<char[]> scratch_;
    std::size_t scratchSize_ = 0;
    std::size_t wantedSize_ = 0;
    std::deque<Outgoing> outgoing_;
    bool writing_ = false;
    bool cancelled_ = false;
    std::atomic<std::size_t> queued_{0};
};

}  // namespace veltrane::net
