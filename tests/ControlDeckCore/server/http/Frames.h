#pragma once
// Client-side WebSocket frames for tests: masked as a browser sends them.

#include <cstdint>
#include <string>
#include <string_view>

namespace veltrane::testing {

inline std::string clientFrame(std::uint8_t opcode, std::string_view payload, bool masked = true, bool fin = true,
                               std::string_view key = "\x37\xfa\x21\x3d") {
    std::string frame;
    frame += static_cast<char>((fin ? 0x80 : 0x00) | opcode);
    const std::uint8_t maskBit = masked ? 0x80 : 0x00;
    const std::uint64_t n = payload.size();
    if (n < 126) {
        frame += static_cast<char>(maskBit | n);
    } else if (n < 65536) {
        frame += static_cast<char>(maskBit | 126);
        frame += static_cast<char>(n >> 8);
        frame += static_cast<char>(n & 0xFF);
    } else {
        frame += static_cast<char>(maskBit | 127);
        for (int shift = 56; shift >= 0; shift -= 8) frame += static_cast<char>((n >> shift) & 0xFF);
    }
    if (!masked) return frame + std::string(payload);
    frame += key;
    for (std::size_t i = 0; i < payload.size(); ++i) frame += static_cast<char>(payload[i] ^ key[i % 4]);
    return frame;
}

inline std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

// The opening handshake of RFC 6455's example and our exact answer to it.
inline constexpr const char* kKey = "dGhlIHNhbXBsZSBub25jZQ==";
inline const std::string kUpgrade = std::string("GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                                                "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                                                "Sec-WebSocket-Key: ") +
                                    kKey + "\r\n\r\n";
inline const std::string kExpected101 =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
inline const std::string kCloseNormal = bytes({0x88, 0x02, 0x03, 0xE8});

}  // namespace veltrane::testing
