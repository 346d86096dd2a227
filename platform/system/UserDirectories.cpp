#include "platform/system/UserDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <optional>
#include <vector>

namespace veltrane::sys {
namespace {

std::optional<std::filesystem::path> absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return std::filesystem::path(value);
}

std::optional<std::filesystem::path> homeDirectory() {
    if (auto home = absoluteVariable("HOME")) return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return std::filesystem::path(found->pw_dir);
    return std::nullopt;
}

// The variable when it holds an absolute path, else `underHome` in the home
// directory, else the current directory.
std::filesystem::path fromEnvironment(const char* variable, const char* underHome) {
    if (auto path = absoluteVariable(variable)) return *path;
    if (auto home = homeDirectory()) return *home / underHome;
    std::error_code error;
    auto current = std::filesystem::current_path(error);
    return error ? std::filesystem::path(".") : current;
}

}  // namespace

std::filesystem::path userDataHome() { return fromEnvironment("XDG_DATA_HOME", ".local/share"); }

std::filesystem::path userConfigHome() { return fromEnvironment("XDG_CONFIG_HOME", ".config"); }

std::vector<std::filesystem::path> systemDataDirectories() {
    const char* value = std::getenv("XDG_DATA_DIRS");
    std::string list = value != nullptr && value[0] != '\0' ? value : "/usr/local/share:/usr/share";
    std::vector<std::filesystem::path> dirs;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = std::min(list.find(':', start), list.size());
        if (end > start && list[start] == '/') dirs.emplace_back(list.substr(start, end - start));
        start = end + 1;
    }
    return dirs;
}

}  // namespace veltrane::sys
