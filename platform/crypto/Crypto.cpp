#include "platform/crypto/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <stdexcept>

namespace veltrane::crypto {

namespace {
// OpenSSL frees its locks from an exit handler by default, while threads that
// outlive main (a queue finishing its last work) may still be using them.
// Without that cleanup the process's exit leaves them to the system.
[[maybe_unused]] const bool initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
}  // namespace

std::string randomBytes(std::size_t count) {
    std::string out(count, '\0');
    if (count && RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1)
        throw std::runtime_error("secure random generator failed");
    return out;
}

std::array<std::uint8_t, 32> sha256(std::string_view data) {
    // Every authenticated request hashes its token. The one-shot SHA256()
    // looks the algorithm up, under a lock all threads share, on each call;
    // fetched once, a digest costs a third as much. Kept for the process's life.
    static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    std::array<std::uint8_t, 32> digest{};
    unsigned int size = 0;
    if (!algorithm || EVP_Digest(data.data(), data.size(), digest.data(), &size, algorithm, nullptr) != 1 ||
        size != digest.size())
        throw std::runtime_error("SHA-256 failed");
    return digest;
}

std::string sha256Hex(std::string_view data) {
    auto digest = sha256(data);
    return hex(digest.data(), digest.size());
}

std::array<std::uint8_t, 20> sha1(std::string_view data) {
    std::array<std::uint8_t, 20> digest{};
    SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest.data());
    return digest;
}

std::string base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::optional<std::string> base64Decoded(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int pads = last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int v = k >= 4 - static_cast<std::size_t>(pads) ? 0 : value(text[i + k]);
            if (v < 0) return std::nullopt;
            group = group << 6 | static_cast<std::uint32_t>(v);
        }
        // Bits the padding drops must be zero: one text per byte string.
        if ((pads == 2 && (group & 0xFFFF) != 0) || (pads == 1 && (group & 0xFF) != 0)) return std::nullopt;
        out += static_cast<char>(group >> 16);
        if (pads < 2) out += static_cast<char>(group >> 8 & 0xFF);
        if (pads < 1) out += static_cast<char>(group & 0xFF);
    }
    return out;
}

std::string hex(const std::uint8_t* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

bool constantTimeEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace veltrane::crypto
