#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ControlDeckCore/server/Callback.h"
#include "ControlDeckCore/server/JSON.h"
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
// out. Everything runs on the connection's serial queue; send(), sendJSON(),
// ping() and close() may be called from any thread and only queue work there.
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

    void send(std::string_view text);
    void sendJSON(const Json& object);
    void ping();
    // Sends a close frame carrying `code` once, then ends the connection and
    // calls onClose.
    void close(std::uint16_t code);

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
    void transmit(std::string frame);
    // Queues closeNow(kNormalClosure).
    void closeSoon();
    void closeNow(std::uint16_t code);
    // Ends the connection and runs both close callbacks, once.
    void finish();

    std::shared_ptr<net::Connection> connection_;
    const Released released_;
    const Limits limits_;
    std::string buffer_;
    std::optional<Frame> fragments_;  // a message still missing its final frame
    std::atomic<bool> closed_{false};
    bool finished_ = false;
};

}  // namespace veltrane::deck
