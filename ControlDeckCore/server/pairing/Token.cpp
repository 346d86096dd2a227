#include "ControlDeckCore/server/pairing/Token.h"

#include <algorithm>
#include <cstdio>

#include "platform/crypto/Crypto.h"

namespace veltrane::deck {

std::string Token::pairingCode() {
    auto bytes = crypto::randomBytes(4);
    std::uint32_t value = 0;
    for (unsigned char b : bytes) value = (value << 8) | b;
    return codeFromRandom(value);
}

std::string Token::codeFromRandom(std::uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%06u", static_cast<unsigned>(value % kCodeRange));
    return text;
}

std::string Token::random(std::size_t bytes) {
    std::string text = crypto::base64(crypto::randomBytes(bytes));
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    text.erase(std::remove(text.begin(), text.end(), '='), text.end());
    return text;
}

std::string Token::sha256(std::string_view text) { return crypto::sha256Hex(text); }

bool Token::timingSafeEqual(std::string_view a, std::string_view b) { return crypto::constantTimeEqual(a, b); }

}  // namespace veltrane::deck
