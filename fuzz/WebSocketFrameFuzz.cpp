// Client frames arrive in arbitrary pieces. Up to the first close (which is
// also what an unmasked or over-long frame reads as), the frames decoded must
// not depend on where the reads were split; every masked frame we can build
// decodes to what was put in; and joining the decoded frames gives only whole
// data messages within the size limit.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/server/http/WebSocket.h"

using veltrane::deck::WebSocket;

namespace {
// Decodes as reads arrive; stops after a close.
std::vector<WebSocket::Frame> decodeAll(const std::string& bytes, std::size_t split, std::string& left) {
    std::vector<WebSocket::Frame> frames;
    std::string buffer;
    for (const std::string& piece : {bytes.substr(0, split), bytes.substr(split)}) {
        buffer += piece;
        const std::size_t before = buffer.size();
        while (auto frame = WebSocket::decode(buffer)) {
            if (buffer.size() > before) std::abort();
            frames.push_back(*frame);
            if (frame->opcode == WebSocket::kClose) {
                left.clear();
                return frames;
            }
        }
    }
    left = buffer;
    return frames;
}

std::string masked(std::uint8_t opcode, const std::string& payload, const std::uint8_t key[4]) {
    std::string server = WebSocket::encode(opcode, payload);  // unmasked, same length forms
    std::size_t header = server.size() - payload.size();
    std::string frame = server.substr(0, header);
    frame[1] = static_cast<char>(frame[1] | 0x80);
    frame.append(reinterpret_cast<const char*>(key), 4);
    for (std::size_t i = 0; i < payload.size(); ++i) frame += static_cast<char>(payload[i] ^ key[i % 4]);
    return frame;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    const std::uint8_t key[4] = {data[0], data[1], data[2], data[3]};
    const std::size_t split = data[4] % (size - 5 + 1);
    const std::string bytes(reinterpret_cast<const char*>(data) + 5, size - 5);

    std::string leftWhole, leftSplit;
    auto whole = decodeAll(bytes, bytes.size(), leftWhole);
    auto pieces = decodeAll(bytes, split, leftSplit);
    if (whole != pieces || leftWhole != leftSplit) std::abort();

    std::optional<WebSocket::Frame> open;
    for (const WebSocket::Frame& frame : whole) {
        if (frame.opcode > WebSocket::kBinary) continue;  // as the socket: data frames only
        bool tooLong = false;
        auto message = WebSocket::assemble(open, frame, tooLong);
        if (message && (!message->final || message->opcode == WebSocket::kContinuation ||
                        message->payload.size() > WebSocket::kMaxClientPayload || tooLong))
            std::abort();
        if (open && (open->final || open->opcode == WebSocket::kContinuation)) std::abort();
    }

    const std::uint8_t opcode = static_cast<std::uint8_t>(data[4] & 0x0F);
    std::string frameBytes = masked(opcode, bytes, key) + "tail";
    auto frame = WebSocket::decode(frameBytes);
    if (!frame || frame->opcode != opcode || frame->payload != bytes || frameBytes != "tail") std::abort();
    return 0;
}
