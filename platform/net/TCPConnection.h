#pragma once
// The Asio implementation of Connection (internal to platform/net).

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include <asio/ip/tcp.hpp>

#include "platform/net/Connection.h"
#include "platform/net/LoopQueue.h"

namespace veltrane::net {

// Asio reports system errors in a category of its own that does not compare
// equal to std::errc values; callers get them in std::system_category().
std::error_code standardError(const std::error_code& error);

// Sends are written at once from the sending thread when nothing waits
// before them (no hop to the loop, no completion to run); only what the
// system does not take at once is queued and written from the connection's queue.
class TCPConnection final : public Connection, public std::enable_shared_from_this<TCPConnection> {
public:
    // Takes an accepted socket; its queue, labelled `label`, runs on the socket's loop.
    static std::shared_ptr<TCPConnection> create(asio::ip::tcp::socket socket, std::string label);
    // The same, with the peer's address already known (from accept).
    static std::shared_ptr<TCPConnection> create(asio::ip::tcp::socket socket, std::string label,
                                                 std::string remoteHost);
    // A peer's address as remoteHost() gives it.
    static std::string hostText(const asio::ip::tcp::endpoint& peer);

    const std::shared_ptr<dispatch::DispatchQueue>& queue() const override { return queueBase_; }
    void receive(std::size_t maximumLength, ReceiveHandler handler) override;
    void send(std::string data, SendHandler handler) override;
    void sendShared(std::shared_ptr<const std::string> data, SendHandler handler) override;
    void sendFile(std::shared_ptr<const sys::FileDescriptor> file, std::uint64_t offset, std::uint64_t length,
                  SendHandler done, ProgressHandler progress) override;
    std::size_t queuedBytes() const override { return queued_.load(std::memory_order_relaxed); }
    void cancel() override;
    const std::string& remoteHost() const override { return remoteHost_; }

private:
    struct Outgoing {
        std::shared_ptr<const std::string> shared;
        std::string owned;  // when not shared
        std::size_t offset = 0;
        SendHandler done;
        // A file range instead of bytes: sent by the kernel from the page
        // cache, `fileLeft` bytes from `fileOffset`.
        std::shared_ptr<const sys::FileDescriptor> file{};
        std::uint64_t fileOffset = 0;
        std::uint64_t fileLeft = 0;
        ProgressHandler progress{};
        std::string_view rest() const { return std::string_view(shared ? *shared : owned).substr(offset); }
        std::size_t pending() const { return file ? static_cast<std::size_t>(fileLeft) : rest().size(); }
    };

    // Only create() makes one (the connection and its control block in one allocation).
    struct Key {
        explicit Key() = default;
    };

public:
    TCPConnection(Key, asio::ip::tcp::socket socket, std::shared_ptr<LoopQueue> queue, std::string remoteHost);

private:
    // Runs `fn` now when already on the connection's queue, else queues it there.
    template <class F>
    void onQueue(F fn);
    void startReceive(std::size_t maximumLength, ReceiveHandler handler);
    // On the queue: reads what has arrived and hands it to `handler` (from a
    // later turn of the queue when `later`); false, leaving `handler` alone,
    // when nothing has.
    bool readNow(std::size_t maximumLength, ReceiveHandler& handler, bool later);
    void enqueue(Outgoing item);
    // Writes what the socket takes without waiting; mutex_ held.
    std::size_t writeNow(std::string_view bytes, std::error_code& error);
    void writeNext();
    // On the queue: sends what the socket takes of the file at the front,
    // then waits until it can take more.
    void writeFile();
    void written(std::error_code error);
    void report(SendHandler done, std::error_code error);
    std::deque<Outgoing>& outgoing() { return outgoing_ ? *outgoing_ : outgoing_.emplace(); }

    std::shared_ptr<LoopQueue> queue_;
    std::shared_ptr<dispatch::DispatchQueue> queueBase_;
    asio::ip::tcp::socket socket_;
    std::string remoteHost_;
    // Bytes to ask for in one read: starts small (most requests are a few
    // hundred bytes) and doubles while reads fill it.
    std::size_t wantedSize_ = 0;
    // Guards the queue, the flags and the descriptor (so it is never closed,
    // and its number reused, under a write from another thread).
    std::mutex mutex_;
    // Made on the first send that has to wait: a deque allocates even when
    // empty, and most connections never queue anything.
    std::optional<std::deque<Outgoing>> outgoing_;
    bool writing_ = false;  // the queue owns the front of outgoing_
    bool cancelled_ = false;
    std::atomic<std::size_t> queued_{0};
};

}  // namespace veltrane::net
