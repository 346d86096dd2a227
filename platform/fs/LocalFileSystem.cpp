#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/fs/Descriptor.h"
#include "platform/fs/FileSystem.h"

namespace veltrane::fs {

namespace {

FileTime fileTime(const struct timespec& ts) {
    return FileTime(std::chrono::duration_cast<FileTime::duration>(std::chrono::seconds(ts.tv_sec) +
                                                                    std::chrono::nanoseconds(ts.tv_nsec)));
}

class LocalFileSystem final : public FileSystem {
public:
    bool createDirectories(const Path& path) override {
        std::error_code ec;
        std::filesystem::create_directories(path, ec);
        return std::filesystem::is_directory(path, ec);
    }

    bool writeFile(const Path& path, std::string_view bytes, bool durable) override {
        sys::FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
        if (file.get() < 0) return false;
        if (writeAll(file.get(), bytes) != 0) return false;
        if (durable && ::fsync(file.get()) != 0) return false;
        return file.close() == 0;
    }

    bool replaceFile(const Path& target, const Path& replacement) override {
        if (::rename(replacement.c_str(), target.c_str()) != 0) return false;
        // The rename itself lives in the folder; without this a crash of the
        // machine could bring back the old name.
        syncFolder(target.parent_path());
        return true;
    }

    std::optional<std::string> readFile(const Path& path) override { return readRegularFile(path); }

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
