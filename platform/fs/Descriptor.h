#pragma once
// Small POSIX pieces shared by the local file-system implementations; the
// descriptors they open are owned by sys::FileDescriptor.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

// A regular file opened for reading, with its size then.
struct RegularFile {
    std::unique_ptr<sys::FileDescriptor> descriptor;
    std::uint64_t size = 0;
};

// Opens a regular file for reading; nullopt when it is missing, not a
// regular file or unreadable. The open does not block, so a FIFO put in
// place of a file cannot hang the caller.
inline std::optional<RegularFile> openRegularFile(const std::filesystem::path& file) {
    auto in = std::make_unique<sys::FileDescriptor>(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (in->get() < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(in->get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return RegularFile{std::move(in), static_cast<std::uint64_t>(info.st_size)};
}

// The whole content of a regular file, read straight into its final buffer;
// nullopt when it cannot be opened as above or read.
inline std::optional<std::string> readRegularFile(const std::filesystem::path& file) {
    auto opened = openRegularFile(file);
    if (!opened) return std::nullopt;
    const sys::FileDescriptor& in = *opened->descriptor;
    std::string out(static_cast<std::size_t>(opened->size), '\0');
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
