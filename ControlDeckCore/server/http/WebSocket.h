#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ControlDeckCore/shared/Callback.h"
#include "ControlDeckCore/shared/JSON.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/net/Connection.h"

namespace veltrane::deck {

struct WebSocketLimits {
    // Bytes allowed to wait for a client that does not read; past it the
    // socket is closed rather than letting the backlog grow.
    std::size_t maxQueuedBytes = 8 * 1024 * 1024;
    // How long close() waits for its close frame to leave before it ends the
    // connection anyway.
    dispatch::Duration closeGrace = std::chrono::seconds(10);
};

// The server side of one upgraded connection: client frames in, text frames
// out. Receiving and the callbacks run on the connection's serial queue.
// send(), sendJSON(), sendFrame(), ping() and close() may be called from any
// thread and write at once from it when nothing waits before them; frames
// sent from one thread leave in the order they were sent, and nothing
// leaves after the close frame.
class WebSocket : public std::enable_shared_from_this<WebSocket> {
public:
    static constexpr std::uint8_t kContinuation = 0x0;
    static constexpr std::uint8_t kText = 0x1;
    static constexpr std::uint8_t kBinary = 0x2;
    static constexpr std::uint8_t kClose = 0x8;
    static constexpr std::uint8_t kPing = 0x9;
    static constexpr std::uint8_t kPong = 0xA;
    static constexpr std::size_t kReceiveChunk = 65'536;
    // The largest client frame, and the largest message its fragments may
    // join into.
    static constexpr std::uint64_t kMaxClientPayload = 1'000'000;
    static constexpr std::uint16_t kNormalClosure = 1000;

    using Limits = WebSocketLimits;

    struct Frame {
        std::uint8_t opcode = 0;
        std::string payload;  // unmasked
        bool final = true;    // the final-fragment bit
        bool operator==(const Frame&) const = default;
    };

    // Runs once when the socket has closed, after onClose; the server keeps
    // its table with it.
    using Released = std::function<void(WebSocket*)>;

    static std::shared_ptr<WebSocket> create(std::shared_ptr<net::Connection> connection, Released released = {},
                                             Limits limits = {});
    // Ends the connection if nothing else did.
    ~WebSocket();
    WebSocket(const WebSocket&) = delete;
    WebSocket& operator=(const WebSocket&) = delete;

    // Starts reading. `received` holds bytes that arrived behind the upgrade
    // request; they are decoded first.
    void start(std::string received = {});

    // A frame built once and written as it is to any number of sockets.
    using SharedFrame = std::shared_ptr<const std::string>;

    void send(std::string_view text);
    void sendJSON(const Json& object);
    void sendFrame(const SharedFrame& frame);
    void ping();
    // Sends a close frame carrying `code` once, then ends the connection and
    // calls onClose.
    void close(std::uint16_t code);

    static SharedFrame textFrame(std::string_view text);
    // Sends `text` as one text frame, built once, to every socket in
    // `sockets`, spreading the writes over the network threads in slices of
    // `slice` sockets; returns when each has been written or queued, so what
    // the caller sends next to any of them leaves after it.
    static void broadcast(const std::vector<std::shared_ptr<WebSocket>>& sockets, std::string_view text,
                          std::size_t slice = kBroadcastSlice);
    // Sockets written by one thread of a broadcast before another joins in.
    static constexpr std::size_t kBroadcastSlice = 8;
    // Small events many times a second: waking the network threads for each
    // costs more than the writes themselves, so the caller writes up to this
    // many sockets alone and shares out only beyond.
    static constexpr std::size_t kFrequentEventSlice = 128;

    bool closed() const { return closed_.load(); }
    const std::shared_ptr<dispatch::DispatchQueue>& queue() const { return connection_->queue(); }

    Callback<void(const std::string&)> onText;
    Callback<void()> onClose;

    static std::string encode(std::uint8_t opcode, std::string_view payload);
    // Takes the first complete client frame off the front of `buffer`. An
    // unmasked or over-long frame empties the buffer and reads as a close.
    static std::optional<Frame> decode(std::string& buffer);

    // Joins a fragmented message. A text or binary frame without its final
    // bit opens one (dropping any unfinished one), continuation frames extend
    // it, and the final one hands back the whole message as one final frame.
    // A whole frame passes through; a continuation with nothing open is
    // dropped. `tooLong` is set, and the message dropped, when the joined
    // payload would pass kMaxClientPayload. Control frames never come here.
    static std::optional<Frame> assemble(std::optional<Frame>& open, Frame frame, bool& tooLong);

private:
    WebSocket(std::shared_ptr<net::Connection> connection, Released released, Limits limits);
    void receive();
    void received(std::string data, bool isComplete, std::error_code error);
    void drain();
    // Writes one frame (a std::string or a SharedFrame) unless the socket
    // has closed or its client has stopped reading.
    template <class Bytes>
    void transmit(Bytes frame);
    // Queues close(kNormalClosure), so frames already read are acted on first.
    void closeSoon();
    // Ends the connection and runs both close callbacks, once; on the queue.
    void finish();
    void finishOnQueue();

    std::shared_ptr<net::Connection> connection_;
    const Released released_;
    const Limits limits_;
    std::string buffer_;
    std::optional<Frame> fragments_;  // a message still missing its final frame
    // Held across the check of closed_ and the write, so a frame never
    // follows the close frame.
    std::mutex sendMutex_;
    std::atomic<bool> closed_{false};
    bool finished_ = false;
};

}  // namespace veltrane::deck
