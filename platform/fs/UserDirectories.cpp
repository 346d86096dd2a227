#include "platform/fs/UserDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace veltrane::fs {

namespace {

std::optional<Path> absoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    // The XDG rules ignore relative values.
    if (!value || value[0] != '/') return std::nullopt;
    return Path(value);
}

std::string_view trimmedSpaces(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::optional<Path> homeDirectory() {
    if (auto home = absoluteFromEnvironment("HOME")) return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir ||
        found->pw_dir[0] != '/')
        return std::nullopt;
    return Path(found->pw_dir);
}

std::optional<Path> applicationSupportDirectory() {
    if (auto data = absoluteFromEnvironment("XDG_DATA_HOME")) return data;
    auto home = homeDirectory();
    if (!home) return std::nullopt;
    return *home / ".local" / "share";
}

std::optional<Path> configurationDirectory() {
    if (auto config = absoluteFromEnvironment("XDG_CONFIG_HOME")) return config;
    auto home = homeDirectory();
    if (!home) return std::nullopt;
    return *home / ".config";
}

std::vector<Path> systemDataDirectories() {
    const char* value = std::getenv("XDG_DATA_DIRS");
    std::string_view list = value && value[0] != '\0' ? value : "/usr/local/share:/usr/share";
    std::vector<Path> dirs;
    while (!list.empty()) {
        auto end = list.find(':');
        std::string_view item = list.substr(0, end);
        if (!item.empty() && item.front() == '/') dirs.emplace_back(item);
        list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
    }
    return dirs;
}

std::optional<Path> downloadDirectoryFromUserDirs(std::string_view text, const Path& home) {
    constexpr std::string_view key = "XDG_DOWNLOAD_DIR=";
    std::optional<Path> found;
    while (!text.empty()) {
        auto end = text.find('\n');
        std::string_view line = trimmedSpaces(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.substr(0, key.size()) != key) continue;
        std::string_view value = line.substr(key.size());
        if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
        value = value.substr(1, value.size() - 2);
        std::string unescaped;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            unescaped += value[i];
        }
        constexpr std::string_view homePrefix = "$HOME";
        if (unescaped.compare(0, homePrefix.size(), homePrefix) == 0 &&
            (unescaped.size() == homePrefix.size() || unescaped[homePrefix.size()] == '/')) {
            std::string rest = unescaped.substr(homePrefix.size());
            while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
            found = rest.empty() ? home : home / rest;
        } else if (!unescaped.empty() && unescaped.front() == '/') {
            found = Path(unescaped);
        }
        // A later line wins, as when the file is sourced by a shell.
    }
    return found;
}

std::optional<Path> downloadsDirectory() {
    auto home = homeDirectory();
    if (!home) return std::nullopt;
    Path config = configurationDirectory().value_or(*home / ".config");
    if (auto text = FileSystem::local()->readFile(config / "user-dirs.dirs")) {
        if (auto downloads = downloadDirectoryFromUserDirs(*text, *home)) return downloads;
    }
    return *home / "Downloads";
}

}  // namespace veltrane::fs
