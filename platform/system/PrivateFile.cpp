#include "platform/system/PrivateFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string_view>
#include <vector>
#include <cerrno>
#include <cstdlib>

#include "platform/system/FileDescriptor.h"

namespace veltrane::sys {

namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;

std::error_code lastError() { return {errno, std::generic_category()}; }


// Opens the private directory; on success `fd` holds it, made 0700.
std::error_code openPrivateDirectory(const std::filesystem::path& directory, int& fd) {
    fd = -1;
    if (directory.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(directory.parent_path(), ec);
        if (ec) return ec;
    }
    if (::mkdir(directory.c_str(), kDirectoryMode) != 0 && errno != EEXIST) return lastError();
    int opened = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) return lastError();
    // Through the open descriptor, so the folder restricted is the one used.
    if (::fchmod(opened, kDirectoryMode) != 0) {
        auto ec = lastError();
        ::close(opened);
        return ec;
    }
    fd = opened;
    return {};
}

std::error_code writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return lastError();
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

// The temporary name of a write of `name` by process `pid`.
std::string temporaryName(const std::string& name, pid_t pid, unsigned sequence) {
    return "." + name + "." + std::to_string(pid) + "." + std::to_string(sequence) + ".tmp";
}

// The writer's process id in `entry` when it is a temporary name of `name`.
std::optional<pid_t> temporaryWriter(std::string_view entry, const std::string& name) {
    const std::string prefix = "." + name + ".";
    constexpr std::string_view suffix = ".tmp";
    if (entry.size() <= prefix.size() + suffix.size() || entry.substr(0, prefix.size()) != prefix ||
        entry.substr(entry.size() - suffix.size()) != suffix)
        return std::nullopt;
    const std::string_view middle = entry.substr(prefix.size(), entry.size() - prefix.size() - suffix.size());
    const std::size_t dot = middle.find('.');
    if (dot == 0 || dot == std::string_view::npos || dot + 1 == middle.size()) return std::nullopt;
    for (std::size_t i = 0; i < middle.size(); ++i)
        if (i != dot && (middle[i] < '0' || middle[i] > '9')) return std::nullopt;
    const std::string digits(middle.substr(0, dot));
    return static_cast<pid_t>(std::strtol(digits.c_str(), nullptr, 10));
}

// A process killed between creating its temporary file and renaming it
// leaves the file behind under a name no later process uses: remove those of
// writers that are gone, so repeated crashes cannot pile them up.
void removeAbandonedTemporaries(int directory, const std::string& name) {
    const int listing = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR* entries = ::fdopendir(listing);
    if (!entries) {
        ::close(listing);
        return;
    }
    std::vector<std::string> abandoned;
    while (const dirent* entry = ::readdir(entries)) {
        const std::optional<pid_t> writer = temporaryWriter(entry->d_name, name);
        if (writer && *writer != ::getpid() && ::kill(*writer, 0) != 0 && errno == ESRCH)
            abandoned.emplace_back(entry->d_name);
    }
    ::closedir(entries);
    for (const std::string& file : abandoned) ::unlinkat(directory, file.c_str(), 0);
}

}  // namespace

std::error_code makePrivateDirectory(const std::filesystem::path& directory) {
    int fd = -1;
    auto ec = openPrivateDirectory(directory, fd);
    if (!ec) ::close(fd);
    return ec;
}

std::error_code writePrivateFile(const std::filesystem::path& directory, const std::string& name,
                                 std::string_view bytes) {
    int rawDirectory = -1;
    if (auto ec = openPrivateDirectory(directory, rawDirectory)) return ec;
    FileDescriptor dir(rawDirectory);

    removeAbandonedTemporaries(dir.get(), name);
    static std::atomic<unsigned> sequence{0};
    const std::string temporary = temporaryName(name, ::getpid(), sequence.fetch_add(1));
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int rawFile = ::openat(dir.get(), temporary.c_str(), flags, kFileMode);
    if (rawFile < 0 && errno == EEXIST) {
        // Left behind by an earlier process with the same id.
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        rawFile = ::openat(dir.get(), temporary.c_str(), flags, kFileMode);
    }
    if (rawFile < 0) return lastError();
    FileDescriptor file(rawFile);

    std::error_code ec;
    // The creation mode passes through the umask; this makes it exact.
    if (::fchmod(file.get(), kFileMode) != 0) ec = lastError();
    if (!ec) ec = writeAll(file.get(), bytes);
    if (!ec && ::fsync(file.get()) != 0) ec = lastError();
    if (int closed = file.close(); !ec && closed != 0) ec = std::error_code(closed, std::generic_category());
    if (!ec && ::renameat(dir.get(), temporary.c_str(), dir.get(), name.c_str()) != 0) ec = lastError();
    if (ec) ::unlinkat(dir.get(), temporary.c_str(), 0);
    return ec;
}

}  // namespace veltrane::sys
