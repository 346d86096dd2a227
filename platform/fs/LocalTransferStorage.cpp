#include <fcntl.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <vector>

#include "platform/fs/Descriptor.h"
#include "platform/fs/TransferStorage.h"

namespace veltrane::fs {

namespace {

using Path = TransferStorage::Path;

[[noreturn]] void fail(int error, const std::string& operation, const Path& path) {
    throw std::system_error(error, std::generic_category(), operation + " " + path.string());
}

// 0 or the errno of the first failing write.
int writeAllAt(int fd, std::string_view bytes, off_t offset) {
    while (!bytes.empty()) {
        ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        offset += n;
    }
    return 0;
}

Path temporaryBeside(const Path& file) {
    static std::atomic<unsigned> sequence{0};
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
    // a literal added to a temporary string.
    std::string name(".");
    name += file.filename().string();
    name += '.';
    name += std::to_string(::getpid());
    name += '.';
    name += std::to_string(sequence.fetch_add(1));
    name += ".tmp";
    return file.parent_path() / name;
}

// Copies the whole of `in` into `out`; 0 or the errno of the failure.
int copyContent(int in, int out) {
    constexpr std::size_t kStep = 1 << 20;
    for (;;) {
        ssize_t n = ::sendfile(out, in, nullptr, kStep);
        if (n == 0) return 0;
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno != EINVAL && errno != ENOSYS) return errno;
        break;  // this pair of files cannot use sendfile: copy through a buffer
    }
    std::vector<char> buffer(kStep);
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return 0;
        if (int error = writeAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(n)))) return error;
    }
}

// Copies the regular file `from` to the new file `to` (which must not
// exist) and flushes it; 0 or the errno of the failure, with nothing left
// at `to` then. EEXIST when `to` is taken.
int copyToNewFile(const Path& from, const Path& to) {
    sys::FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (in.get() < 0) return errno;
    struct stat info {};
    if (::fstat(in.get(), &info) != 0) return errno;
    if (!S_ISREG(info.st_mode)) return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    sys::FileDescriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
    if (out.get() < 0) return errno;
    int error = copyContent(in.get(), out.get());
    if (!error && ::fsync(out.get()) != 0) error = errno;
    if (int closed = out.close(); !error) error = closed;
    if (error) {
        ::unlink(to.c_str());
        return error;
    }
    syncFolder(to.parent_path());
    return 0;
}

class LocalTransferStorage final : public TransferStorage {
public:
    void createDirectories(const Path& folder) override {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (std::filesystem::is_directory(folder)) return;
        fail(ec ? ec.value() : ENOTDIR, "creating", folder);
    }

    void writeWhole(const Path& file, std::string_view bytes) override {
        Path temporary = temporaryBeside(file);
        sys::FileDescriptor out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
        if (out.get() < 0) fail(errno, "writing", file);
        int error = writeAll(out.get(), bytes);
        if (!error && ::fsync(out.get()) != 0) error = errno;
        if (int closed = out.close(); !error) error = closed;
        if (!error && ::rename(temporary.c_str(), file.c_str()) != 0) error = errno;
        if (error) {
            ::unlink(temporary.c_str());
            fail(error, "writing", file);
        }
        syncFolder(file.parent_path());
    }

    void writeAt(const Path& file, std::uint64_t offset, std::string_view bytes) override {
        sys::FileDescriptor out(::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
        if (out.get() < 0) fail(errno, "opening", file);
        struct stat info {};
        if (::fstat(out.get(), &info) != 0) fail(errno, "opening", file);
        if (!S_ISREG(info.st_mode)) fail(EINVAL, "opening", file);
        const auto at = static_cast<off_t>(offset);
        if (::ftruncate(out.get(), at) != 0) fail(errno, "writing", file);
        if (int error = writeAllAt(out.get(), bytes, at)) fail(error, "writing", file);
        // The bytes are on disk before the caller records them as received.
        if (::fdatasync(out.get()) != 0) fail(errno, "writing", file);
        out.close();  // nothing is left to flush
    }

    std::optional<Item> inspect(const Path& path) override {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return std::nullopt;
        return Item{S_ISDIR(info.st_mode), static_cast<std::uint64_t>(info.st_size)};
    }

    bool nameTaken(const Path& path) override {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0 || errno != ENOENT;
    }

    std::optional<std::string> readWhole(const Path& file) override { return readRegularFile(file); }

    std::optional<OpenFile> openRegular(const Path& file) override {
        auto opened = openRegularFile(file);
        if (!opened) return std::nullopt;
        return OpenFile{std::move(opened->descriptor), opened->size};
    }

    bool moveWithoutReplacing(const Path& from, const Path& to) override {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            syncFolder(to.parent_path());
            return true;
        }
        int error = errno;
        if (error == EEXIST) return false;
        if (error == EINVAL) {
            // The file system cannot refuse to replace: a hard link can.
            if (::link(from.c_str(), to.c_str()) == 0) {
                ::unlink(from.c_str());
                syncFolder(to.parent_path());
                return true;
            }
            error = errno;
            if (error == EEXIST) return false;
        }
        if (error != EXDEV && error != EPERM && error != EINVAL) fail(error, "moving to", to);
        error = copyToNewFile(from, to);
        if (error == EEXIST) return false;
        if (error) fail(error, "moving to", to);
        ::unlink(from.c_str());
        return true;
    }

    void copyFile(const Path& from, const Path& to) override {
        if (int error = copyToNewFile(from, to)) fail(error, "copying to", to);
    }

    bool removeAll(const Path& path) override {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
        return !ec && !nameTaken(path);
    }
};

}  // namespace

std::shared_ptr<TransferStorage> TransferStorage::local() {
    static const std::shared_ptr<TransferStorage> shared = std::make_shared<LocalTransferStorage>();
    return shared;
}

}  // namespace veltrane::fs
