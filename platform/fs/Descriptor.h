#pragma once
// Small POSIX pieces shared by the local file-system implementations; the
// descriptors they open are owned by sys::FileDescriptor.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system/FileDescriptor.h"

namespace veltrane::fs {

// Writes all of `bytes` at the descriptor's position; 0 or the errno of the
// failing write.
inline int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// A rename lives in its folder; without this a crash of the machine could
// bring back the old name.
inline void syncFolder(const std::filesystem::path& folder) {
    sys::FileDescriptor dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

// The whole content of a regular file, read straight into its final buffer;
// nullopt when it is missing, not a regular file or unreadable. The open does
// not block, so a FIFO put in place of a file cannot hang the caller.
inline std::optional<std::string> readRegularFile(const std::filesystem::path& file) {
    sys::FileDescriptor in(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (in.get() < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::string out(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t filled = 0;
    for (;;) {
        if (filled == out.size()) out.resize(out.size() + 65536);  // the file grew
        ssize_t n = ::read(in.get(), out.data() + filled, out.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    out.resize(filled);
    return out;
}

}  // namespace veltrane::fs
