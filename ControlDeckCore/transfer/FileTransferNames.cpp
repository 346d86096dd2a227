// The name, MIME type, id and Content-Disposition rules of file transfer.

#include <cstdint>
#include <limits>

#include "ControlDeckCore/shared/UTF8.h"
#include "ControlDeckCore/shared/Whitespace.h"
#include "ControlDeckCore/transfer/FileTransferService.h"
#include "ControlDeckCore/transfer/FileTransferNames.h"
#include "platform/text/UnicodeText.h"

namespace veltrane::deck {

namespace {

constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

// The last component of a path: trailing slashes do not count, and a path of
// slashes alone is "/".
std::string_view lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path == "/") return path;
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The first `maxBytes` bytes of `text` or fewer, ending between characters;
// between code points when even the first character is longer.
std::string_view bytePrefix(std::string_view text, std::size_t maxBytes) {
    std::size_t length = text::characterPrefixLength(text, kUnlimited, maxBytes);
    if (length == 0) length = utf8::withoutCutTail(text.substr(0, maxBytes));
    return text.substr(0, length);
}

// At most `maxBytes` bytes; when the name must be cut, its base is shortened
// so the extension stays, unless the extension alone leaves no room.
std::string capBytes(std::string_view name, std::size_t maxBytes) {
    if (name.size() <= maxBytes) return std::string(name);
    auto [base, extension] = transfer::splitExtension(name);
    if (!extension.empty() && extension.size() + 1 < maxBytes) {
        std::string_view kept = bytePrefix(base, maxBytes - extension.size() - 1);
        if (!kept.empty()) return std::string(kept) + "." + std::string(extension);
    }
    return std::string(bytePrefix(name, maxBytes));
}

bool isNameless(std::string_view name) { return name.empty() || name == "." || name == ".."; }

// Characters that stay as they are in the encoded filename* value: those that
// RFC 3986 allows in a query and that RFC 5987 also allows in a parameter
// value, so no reader can take one for the end of the parameter.
bool staysUnencoded(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '-': case '.': case '_': case '~': case '!': case '$': case '&': case '+':
            return true;
        default:
            return false;
    }
}

std::string percentEncoded(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char byte : bytes) {
        auto c = static_cast<unsigned char>(byte);
        if (staysUnencoded(c)) {
            out += byte;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

}  // namespace

namespace transfer {

std::pair<std::string_view, std::string_view> splitExtension(std::string_view name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {name, {}};
    return {name.substr(0, dot), name.substr(dot + 1)};
}

std::string numberedName(std::string_view name, int number) {
    auto [base, extension] = splitExtension(name);
    std::string out = std::string(base) + " " + std::to_string(number);
    if (!extension.empty()) out += "." + std::string(extension);
    return out;
}

std::string prefixedName(std::string_view prefix, std::string_view name, std::size_t maxBytes) {
    if (prefix.size() >= maxBytes) return std::string(prefix.substr(0, maxBytes));
    return std::string(prefix) + capBytes(name, maxBytes - prefix.size());
}

}  // namespace transfer

std::string FileTransferService::safeName(std::string_view name) {
    std::string valid = utf8::sanitized(name);
    std::string component(lastPathComponent(valid));
    std::erase(component, '\0');
    std::string trimmed(trimmingWhitespaceAndNewlines(component));
    for (char& c : trimmed)
        if (c == '/' || c == '\\' || c == ':') c = '-';
    if (isNameless(trimmed)) return "file";
    std::string_view characters(trimmed);
    characters = characters.substr(0, text::characterPrefixLength(characters, kNameCharacterLimit, kUnlimited));
    std::string safe = capBytes(characters, kNameByteLimit);
    return isNameless(safe) ? "file" : safe;
}

std::string FileTransferService::safeMime(const std::optional<std::string>& mime) {
    if (!mime) return kDefaultMime;
    std::string value = text::lowercased(trimmingWhitespaceAndNewlines(*mime));
    if (value.empty() || value.find('\n') != std::string::npos || value.find('/') == std::string::npos ||
        text::characterCount(value) > kMimeCharacterLimit)
        return kDefaultMime;
    return value;
}

std::string FileTransferService::contentDisposition(std::string_view name) {
    const bool valid = utf8::isValid(name);
    std::string fallback;
    for (char byte : name) {
        auto c = static_cast<unsigned char>(byte);
        // One "_" per character: continuation bytes of a valid sequence add none.
        if (c >= 0x80) {
            if (!valid || (c & 0xC0) != 0x80) fallback += '_';
        } else if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            fallback += '_';
        } else {
            fallback += byte;
        }
    }
    // Bytes that are not UTF-8 have no UTF-8 form: the fallback stands in.
    return "attachment; filename=\"" + fallback + "\"; filename*=UTF-8''" + percentEncoded(valid ? name : fallback);
}

bool FileTransferService::isWellFormedId(std::string_view id) {
    if (id.size() != kIdLength) return false;
    for (char c : id)
        if (!(c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

}  // namespace veltrane::deck
