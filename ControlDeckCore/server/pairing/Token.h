#pragma once
// The secrets of the trust layer: 6-digit pairing and stream codes, random
// device and session tokens, the SHA-256 hashes that are all we ever keep of
// them, and a comparison that does not give away where two values differ.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace veltrane::deck {

struct Token {
    static constexpr std::uint32_t kCodeRange = 1'000'000;

    // Six ASCII digits from 4 secure random bytes. Throws std::runtime_error
    // when the system generator fails, rather than hand out a guessable code.
    static std::string pairingCode();
    // The code for one big-endian 32-bit random value: value mod 1,000,000,
    // written with leading zeros.
    static std::string codeFromRandom(std::uint32_t value);

    // `bytes` secure random bytes in URL-safe Base64 without padding (32 give
    // 43 characters). Throws like pairingCode().
    static std::string random(std::size_t bytes);

    // SHA-256 of the text's bytes as 64 lower-case hex digits.
    static std::string sha256(std::string_view text);

    // Byte equality whose time depends only on the length; different lengths
    // are unequal at once.
    static bool timingSafeEqual(std::string_view a, std::string_view b);
};

}  // namespace veltrane::deck
