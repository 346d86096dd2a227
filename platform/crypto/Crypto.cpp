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
    std::array<std::uint8_t, 32> digest{};
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest.data());
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
