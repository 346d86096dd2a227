#pragma once
// Hashes, encodings and secure random bytes (OpenSSL underneath).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane::crypto {

// Cryptographically secure random bytes; throws std::runtime_error if the
// system generator fails (never falls back to a weak source).
std::string randomBytes(std::size_t count);

std::array<std::uint8_t, 32> sha256(std::string_view data);
std::string sha256Hex(std::string_view data);  // 64 lower-case hex digits
std::array<std::uint8_t, 20> sha1(std::string_view data);

std::string base64(std::string_view bytes);  // standard alphabet, padded
// The bytes of standard, padded Base64 text; none for anything else (another
// alphabet, white space, a missing or misplaced pad, pad bits that are not
// zero), so each byte string has exactly one text.
std::optional<std::string> base64Decoded(std::string_view text);

std::string hex(const std::uint8_t* bytes, std::size_t size);

// Byte equality in time that depends only on the length, not on where the
// inputs differ (OpenSSL's CRYPTO_memcmp). Inputs of different lengths are
// unequal at once: the length is not a secret here.
bool constantTimeEqual(std::string_view a, std::string_view b);

}  // namespace veltrane::crypto
