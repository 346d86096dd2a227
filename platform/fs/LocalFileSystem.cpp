#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/fs/FileSystem.h"

namespace veltrane::fs {

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // close(2) can report a failed write-back; the caller must hear of it.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

FileTime fileTime(const struct timespec& ts) {
    return FileTime(std::chrono::duration_cast<FileTime::duration>(std::chrono::seconds(ts.tv_sec) +
                                                                    std::chrono::nanoseconds(ts.tv_nsec)));
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void syncFolder(const Path& folder) {
    Descriptor dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

class LocalFileSystem final : public FileSystem {
public:
    bool createDirectories(const Path& path) override {
        std::error_code ec;
        std::filesystem::create_directories(path, ec);
        return std::filesystem::is_directory(path, ec);
    }

    bool writeFile(const Path& path, std::string_view bytes, bool durable) override {
        Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
        if (file.get() < 0) return false;
        if (!writeAll(file.get(), bytes)) return false;
        if (durable && ::fsync(file.get()) != 0) return false;
        return file.close();
    }

    bool replaceFile(const Path& target, const Path& replacement) override {
        if (::rename(replacement.c_str(), target.c_str()) != 0) return false;
        // The rename itself lives in the folder; without this a crash of the
        // machine could bring back the old name.
        syncFolder(target.parent_path());
        return true;
    }

    std::optional<std::string> readFile(const Path& path) override {
        // Non-blocking open so a FIFO in the data directory cannot hang us.
        Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (file.get() < 0) return std::nullopt;
        struct stat info {};
        if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
        std::string out;
        out.reserve(static_cast<std::size_t>(info.st_size));
        char buffer[65536];
        for (;;) {
            ssize_t n = ::read(file.get(), buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) continue;
                return std::nullopt;
            }
            if (n == 0) return out;
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

    bool fileExists(const Path& path) override {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0;
    }

    std::optional<std::vector<DirectoryEntry>> listDirectory(const Path& path) override {
        DIR* dir = ::opendir(path.c_str());
        if (!dir) return std::nullopt;
        std::vector<DirectoryEntry> entries;
        while (dirent* entry = ::readdir(dir)) {
            std::string_view name(entry->d_name);
            if (name.empty() || name.front() == '.') continue;
            DirectoryEntry out{path / std::string(name), false, std::nullopt};
            struct stat info {};
            if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
                out.isDirectory = S_ISDIR(info.st_mode);
                out.modified = fileTime(info.st_mtim);
            }
            entries.push_back(std::move(out));
        }
        ::closedir(dir);
        return entries;
    }

    bool removeFile(const Path& path) override { return ::unlink(path.c_str()) == 0; }
};

}  // namespace

std::shared_ptr<FileSystem> FileSystem::local() {
    static const std::shared_ptr<FileSystem> shared = std::make_shared<LocalFileSystem>();
    return shared;
}

}  // namespace veltrane::fs
