#pragma once

#include <errno.h>
#include <unistd.h>

#include <utility>

namespace veltrane::sys {

// Owns one file descriptor (or none, as -1) and closes it when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    // Gives the descriptor up to the caller, who closes it.
    int release() { return std::exchange(fd_, -1); }
    // Closes now; 0, or the errno of a failed close: close(2) can report a
    // failed write-back, and the caller must hear of it.
    int close() {
        int fd = std::exchange(fd_, -1);
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

}  // namespace veltrane::sys
