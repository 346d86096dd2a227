#include "platform/system/HostName.h"

#include <limits.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace veltrane::sys {

std::optional<std::string> prettyHostNameFromMachineInfo(std::string_view text) {
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    std::optional<std::string> found;
    while (!text.empty()) {
        auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.substr(0, key.size()) != key) continue;
        std::string_view value = line.substr(key.size());
        std::string name;
        char quote = 0;
        for (std::size_t i = 0; i < value.size(); ++i) {
            char c = value[i];
            if (quote == 0 && (c == '"' || c == '\'')) {
                quote = c;
            } else if (quote != 0 && c == quote) {
                quote = 0;
            } else if (c == '\\' && quote != '\'' && i + 1 < value.size()) {
                name += value[++i];
            } else {
                name += c;
            }
        }
        found = name;
    }
    if (found && found->empty()) return std::nullopt;
    return found;
}

std::optional<std::string> localizedHostName() {
    std::ifstream info("/etc/machine-info");
    if (info) {
        std::stringstream text;
        text << info.rdbuf();
        if (auto pretty = prettyHostNameFromMachineInfo(text.str())) return pretty;
    }
    char buffer[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') return std::nullopt;
    return std::string(buffer);
}

}  // namespace veltrane::sys
