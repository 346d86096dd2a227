#include "ControlDeckCore/server/http/WebSocket.h"

#include "ControlDeckCore/shared/UTF8.h"
#include "platform/net/FanOut.h"

namespace veltrane::deck {

namespace {

// The first complete frame in `bytes`; `consumed` says how much it took.
std::optional<WebSocket::Frame> decodeFrom(std::string_view bytes, std::size_t& consumed) {
    consumed = 0;
    if (bytes.size() < 2) return std::nullopt;
    auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t opcode = at(0) & 0x0F;
    const bool final = (at(0) & 0x80) != 0;
    std::uint64_t length = at(1) & 0x7F;
    std::size_t header = 2;
    auto refuse = [&] {
        // Nothing after a frame we will not read can be framed reliably.
        consumed = bytes.size();
        return WebSocket::Frame{WebSocket::kClose, {}};
    };
    if (length == 126) {
        if (bytes.size() < 4) return std::nullopt;
        length = (std::uint64_t{at(2)} << 8) | at(3);
        header = 4;
    } else if (length == 127) {
        if (bytes.size() < 10) return std::nullopt;
        length = 0;
        for (std::size_t i = 2; i < 10; ++i) length = (length << 8) | at(i);
        header = 10;
        if (length > WebSocket::kMaxClientPayload) return refuse();
    }
    if ((at(1) & 0x80) == 0) return refuse();  // clients must mask
    const std::size_t total = header + 4 + static_cast<std::size_t>(length);
    if (bytes.size() < total) return std::nullopt;
    const std::uint8_t* key = reinterpret_cast<const std::uint8_t*>(bytes.data()) + header;
    std::string payload(bytes.substr(header + 4, static_cast<std::size_t>(length)));
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(payload[i] ^ key[i % 4]);
    consumed = total;
    return WebSocket::Frame{opcode, std::move(payload), final};
}

}  // namespace

std::string WebSocket::encode(std::uint8_t opcode, std::string_view payload) {
    std::string frame;
    frame.reserve(payload.size() + 10);
    frame += static_cast<char>(0x80 | (opcode & 0x0F));
    const std::uint64_t n = payload.size();
    if (n < 126) {
        frame += static_cast<char>(n);
    } else if (n < 65'536) {
        frame += static_cast<char>(126);
        frame += static_cast<char>(n >> 8);
        frame += static_cast<char>(n & 0xFF);
    } else {
        frame += static_cast<char>(127);
        for (int shift = 56; shift >= 0; shift -= 8) frame += static_cast<char>((n >> shift) & 0xFF);
    }
    frame += payload;
    return frame;
}

std::optional<WebSocket::Frame> WebSocket::decode(std::string& buffer) {
    std::size_t consumed = 0;
    auto frame = decodeFrom(buffer, consumed);
    buffer.erase(0, consumed);
    return frame;
}

std::optional<WebSocket::Frame> WebSocket::assemble(std::optional<Frame>& open, Frame frame, bool& tooLong) {
    tooLong = false;
    if (frame.opcode != kContinuation) {
        // A new message while one is unfinished: the unfinished one is lost.
        open.reset();
        if (frame.final) return frame;
        open = std::move(frame);
        return std::nullopt;
    }
    if (!open) return std::nullopt;
    if (open->payload.size() + frame.payload.size() > kMaxClientPayload) {
        open.reset();
        tooLong = true;
        return std::nullopt;
    }
    open->payload += frame.payload;
    if (!frame.final) return std::nullopt;
    Frame whole{open->opcode, std::move(open->payload), true};
    open.reset();
    return whole;
}

std::shared_ptr<WebSocket> WebSocket::create(std::shared_ptr<net::Connection> connection, Released released,
                                             Limits limits) {
    return std::shared_ptr<WebSocket>(new WebSocket(std::move(connection), std::move(released), limits));
}

WebSocket::WebSocket(std::shared_ptr<net::Connection> connection, Released released, Limits limits)
    : connection_(std::move(connection)), released_(std::move(released)), limits_(limits) {}

WebSocket::~WebSocket() { connection_->cancel(); }

void WebSocket::start(std::string received) {
    queue()->async([weak = weak_from_this(), received = std::move(received)]() mutable {
        auto self = weak.lock();
        if (!self) return;
        if (!received.empty()) {
            self->buffer_ = std::move(received);
            self->drain();
        }
        if (!self->finished_) self->receive();
    });
}

void WebSocket::receive() {
    connection_->receive(kReceiveChunk,
                         [weak = weak_from_this()](std::string data, bool isComplete, std::error_code error) {
                             if (auto self = weak.lock()) self->received(std::move(data), isComplete, error);
                         });
}

void WebSocket::received(std::string data, bool isComplete, std::error_code error) {
    if (finished_) return;
    buffer_ += data;
    drain();
    if (!isComplete && !error) {
        receive();
        return;
    }
    // The peer went away without a closing handshake: nothing to send.
    if (!closed_.exchange(true)) finish();
}

void WebSocket::drain() {
    std::string_view pending(buffer_);
    std::size_t used = 0;
    for (;;) {
        std::size_t consumed = 0;
        auto frame = decodeFrom(pending.substr(used), consumed);
        if (!frame) break;
        used += consumed;
        switch (frame->opcode) {
        case kPing:
            transmit(encode(kPong, frame->payload));
            break;
        case kClose:
            closeSoon();
            break;
        case kContinuation:
        case kText:
        case kBinary: {
            // Browsers split long messages into fragments.
            bool tooLong = false;
            std::optional<Frame> message = assemble(fragments_, std::move(*frame), tooLong);
            if (tooLong) closeSoon();  // as an over-long frame is
            if (message && message->opcode == kText && utf8::isValid(message->payload)) {
                if (auto handler = onText.get()) (*handler)(message->payload);
            }
            break;
        }
        default:
            break;  // pong and reserved opcodes
        }
        if (finished_) return;
    }
    buffer_.erase(0, used);
}

void WebSocket::closeSoon() {
    queue()->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->close(kNormalClosure);
    });
}

namespace {
std::size_t frameSize(const std::string& frame) { return frame.size(); }
std::size_t frameSize(const WebSocket::SharedFrame& frame) { return frame->size(); }
void write(net::Connection& connection, std::string frame) { connection.send(std::move(frame), {}); }
void write(net::Connection& connection, WebSocket::SharedFrame frame) { connection.sendShared(std::move(frame), {}); }
}  // namespace

template <class Bytes>
void WebSocket::transmit(Bytes frame) {
    {
        std::lock_guard lock(sendMutex_);
        if (closed_) return;
        const std::size_t waiting = connection_->queuedBytes();
        if (waiting == 0 || waiting + frameSize(frame) <= limits_.maxQueuedBytes) {
            write(*connection_, std::move(frame));
            return;
        }
        // The client has stopped reading; queuing more would only grow the
        // backlog. A close frame could not get through either. (With nothing
        // waiting, one message goes out whatever its size.)
        closed_ = true;
    }
    finishOnQueue();
}

void WebSocket::send(std::string_view text) { transmit(encode(kText, text)); }

void WebSocket::sendJSON(const Json& object) { send(JSON::text(object)); }

void WebSocket::sendFrame(const SharedFrame& frame) { transmit(frame); }

void WebSocket::ping() { transmit(encode(kPing, {})); }

WebSocket::SharedFrame WebSocket::textFrame(std::string_view text) {
    return std::make_shared<const std::string>(encode(kText, text));
}

void WebSocket::broadcast(const std::vector<std::shared_ptr<WebSocket>>& sockets, std::string_view text,
                          std::size_t slice) {
    if (sockets.empty()) return;
    const SharedFrame frame = textFrame(text);
    net::fanOut(sockets.size(), slice, [&](std::size_t i) { sockets[i]->sendFrame(frame); });
}

void WebSocket::close(std::uint16_t code) {
    {
        std::lock_guard lock(sendMutex_);
        if (closed_.exchange(true)) return;
        const char payload[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
        // Held until the close frame has gone, so that a socket nobody else
        // keeps (the server's table empties on stop()) still says goodbye.
        connection_->send(encode(kClose, std::string_view(payload, 2)),
                          [self = shared_from_this()](std::error_code) { self->finish(); });
    }
    // A client that does not read would hold the close frame, and with it the
    // descriptor, for ever.
    queue()->asyncAfter(limits_.closeGrace, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->finish();
    });
}

void WebSocket::finishOnQueue() {
    if (queue()->isCurrent()) {
        finish();
        return;
    }
    queue()->async([self = shared_from_this()] { self->finish(); });
}

void WebSocket::finish() {
    if (finished_) return;
    finished_ = true;
    connection_->cancel();
    if (auto handler = onClose.get()) (*handler)();
    if (released_) released_(this);
}

}  // namespace veltrane::deck
