#include "platform/system/HostName.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>

namespace veltrane::sys {
namespace {

constexpr std::size_t kMaxMachineInfoBytes = 64 * 1024;

// One shell-style word: "double quotes" with backslash escapes, 'single
// quotes' taken literally, bare text with backslash escapes.
std::string unquoted(std::string_view value) {
    std::string out;
    char quote = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0;
            else out += c;
        } else if (c == '\\' && i + 1 < value.size()) {
            char next = value[i + 1];
            // Inside double quotes a backslash escapes only these characters.
            if (quote == '"' && next != '"' && next != '\\' && next != '$' && next != '`') {
                out += c;
            } else {
                out += next;
                ++i;
            }
        } else if (quote == '"') {
            if (c == '"') quote = 0;
            else out += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else {
            out += c;
        }
    }
    return out;
}

std::string_view trimmed(std::string_view text) {
    const char* space = " \t\r";
    auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

std::optional<std::string> kernelHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
    return std::string(name);
}

}  // namespace

std::optional<std::string> prettyHostNameIn(std::string_view text) {
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    std::optional<std::string> found;
    while (!text.empty()) {
        auto end = text.find('\n');
        std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.substr(0, key.size()) == key) found = unquoted(line.substr(key.size()));
    }
    if (found && found->empty()) return std::nullopt;
    return found;
}

std::optional<std::string> prettyHostName(const std::filesystem::path& machineInfo) {
    std::ifstream file(machineInfo, std::ios::binary);
    if (!file) return std::nullopt;
    std::string text(kMaxMachineInfoBytes, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    return prettyHostNameIn(text);
}

std::optional<std::string> localizedHostName() {
    if (auto pretty = prettyHostName()) return pretty;
    return kernelHostName();
}

}  // namespace veltrane::sys
