#include "platform/system/UserDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
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

}  // namespace

std::filesystem::path userDataHome() {
    if (auto dataHome = absoluteVariable("XDG_DATA_HOME")) return *dataHome;
    if (auto home = homeDirectory()) return *home / ".local/share";
    std::error_code error;
    auto current = std::filesystem::current_path(error);
    return error ? std::filesystem::path(".") : current;
}

}  // namespace veltrane::sys
