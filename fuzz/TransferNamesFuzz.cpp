// Whatever name a tablet or a desktop file brings: the stored name is one
// valid, bounded path component whose numbered alternatives still fit a file
// name, and the download header is one line whose filename* value decodes
// back to the name.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ControlDeckCore/shared/UTF8.h"
#include "ControlDeckCore/transfer/FileTransferNames.h"
#include "ControlDeckCore/transfer/FileTransferService.h"
#include "platform/text/UnicodeText.h"

using veltrane::deck::FileTransferService;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void checkSafeName(const std::string& input) {
    std::string name = FileTransferService::safeName(input);
    require(!name.empty() && name != "." && name != "..");
    require(name.find_first_of(std::string("/\\:\0", 4)) == std::string::npos);
    require(veltrane::deck::utf8::isValid(name));
    require(name.size() <= FileTransferService::kNameByteLimit);
    require(veltrane::text::characterCount(name) <= FileTransferService::kNameCharacterLimit);
    require(veltrane::deck::transfer::numberedName(name, FileTransferService::kLastAlternative).size() <=
            FileTransferService::kFileNameByteLimit);
    require(veltrane::deck::transfer::prefixedName(std::string(37, 'P'), name, FileTransferService::kFileNameByteLimit)
                .size() <= FileTransferService::kFileNameByteLimit);
}

void checkContentDisposition(const std::string& input) {
    std::string header = FileTransferService::contentDisposition(input);
    for (char c : header) require(c >= 0x20 && c < 0x7F);
    const std::string head = "attachment; filename=\"";
    const std::string middle = "\"; filename*=UTF-8''";
    require(header.compare(0, head.size(), head) == 0);
    std::size_t split = header.find(middle, head.size());
    require(split != std::string::npos);
    std::string fallback = header.substr(head.size(), split - head.size());
    require(fallback.find_first_of("\"\\") == std::string::npos);
    std::string encoded = header.substr(split + middle.size());
    require(encoded.find_first_of(" \";,'\\") == std::string::npos);
    if (!veltrane::deck::utf8::isValid(input)) return;
    std::string decoded;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            decoded += encoded[i];
            continue;
        }
        require(i + 2 < encoded.size());
        int high = hexValue(encoded[i + 1]), low = hexValue(encoded[i + 2]);
        require(high >= 0 && low >= 0);
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    require(decoded == input);
}

void checkSafeMime(const std::string& input) {
    std::string mime = FileTransferService::safeMime(input);
    require(!mime.empty() && mime.find('/') != std::string::npos && mime.find('\n') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    checkSafeName(input);
    checkContentDisposition(input);
    checkSafeMime(input);
    return 0;
}
