#include "platform/mpris/ArtworkFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace veltrane::mpris {
namespace {

bool sameFile(const struct stat& info, off_t size, const timespec& mtime, ino_t inode) {
    return info.st_size == size && info.st_mtim.tv_sec == mtime.tv_sec && info.st_mtim.tv_nsec == mtime.tv_nsec &&
           info.st_ino == inode;
}

}  // namespace

std::shared_ptr<const std::string> ArtworkFile::read(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    if (key_ && key_->path == path && sameFile(info, key_->size, key_->mtime, key_->inode)) return bytes_;

    key_.reset();
    bytes_.reset();
    // Opened without blocking: the file may have been swapped for a FIFO
    // since the stat, and the descriptor's own fstat is what counts.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat opened {};
    std::shared_ptr<const std::string> bytes;
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_size > 0 &&
        static_cast<std::size_t>(opened.st_size) <= kMaxBytes) {
        std::string data(static_cast<std::size_t>(opened.st_size), '\0');
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t got = ::read(fd, data.data() + done, data.size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<std::size_t>(got);
        }
        // A file cut short while we read keeps what was there.
        data.resize(done);
        if (!data.empty()) bytes = std::make_shared<const std::string>(std::move(data));
    }
    ::close(fd);
    key_ = Key{path, opened.st_size, opened.st_mtim, opened.st_ino};
    bytes_ = bytes;
    return bytes;
}

}  // namespace veltrane::mpris
