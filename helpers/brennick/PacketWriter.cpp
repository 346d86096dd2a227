#include "helpers/brennick/PacketWriter.h"

#include <fcntl.h>
#include <climits>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace veltrane::brennick {

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Header and frames leave in one system call; a partial write goes on with
// what is left.
bool writePacket(int fd, const std::vector<std::uint8_t>& chunk) {
    auto head = PacketWriter::header(chunk.size());
    iovec parts[2] = {{head.data(), head.size()}, {const_cast<std::uint8_t*>(chunk.data()), chunk.size()}};
    std::size_t total = head.size() + chunk.size(), done = 0;
    while (done < total) {
        iovec* part = parts;
        int count = 2;
        std::size_t skip = done;
        if (skip >= head.size()) {
            part = &parts[1];
            count = 1;
            skip -= head.size();
        }
        iovec rest[2] = {part[0], count == 2 ? part[1] : iovec{}};
        rest[0].iov_base = static_cast<std::uint8_t*>(rest[0].iov_base) + skip;
        rest[0].iov_len -= skip;
        ssize_t written = ::writev(fd, rest, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

std::vector<std::uint8_t> PacketWriter::header(std::size_t payloadBytes) {
    auto length = static_cast<std::uint32_t>(payloadBytes);
    return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

std::shared_ptr<PacketWriter> PacketWriter::create(std::string label, int fd, std::function<void()> onWriteFailure) {
    return std::shared_ptr<PacketWriter>(new PacketWriter(std::move(label), fd, std::move(onWriteFailure)));
}

PacketWriter::PacketWriter(std::string label, int fd, std::function<void()> onWriteFailure)
    : queue_(dispatch::SerialQueue::create(std::move(label))), fd_(fd), onWriteFailure_(std::move(onWriteFailure)) {
    // A description of the pipe of our own, non-blocking, so a full pipe
    // answers at once and the shared one keeps its flags.
    struct stat info;
    if (::fstat(fd_, &info) == 0 && S_ISFIFO(info.st_mode))
        directFD_ = ::open(("/proc/self/fd/" + std::to_string(fd_)).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

PacketWriter::~PacketWriter() {
    if (directFD_ >= 0) ::close(directFD_);
}

// Up to PIPE_BUF bytes a non-blocking pipe write is all or nothing.
PacketWriter::Direct PacketWriter::writeDirect(const std::vector<std::uint8_t>& chunk) {
    if (directFD_ < 0 || chunk.size() + 4 > PIPE_BUF) return Direct::later;
    auto head = header(chunk.size());
    iovec parts[2] = {{head.data(), head.size()}, {const_cast<std::uint8_t*>(chunk.data()), chunk.size()}};
    for (;;) {
        ssize_t written = ::writev(directFD_, parts, 2);
        if (written == static_cast<ssize_t>(chunk.size() + 4)) return Direct::written;
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EAGAIN) return Direct::later;
        if (written <= 0) return Direct::failed;
        // Not expected of a pipe; finished blocking so the stream stays whole.
        std::vector<std::uint8_t> rest(head.begin(), head.end());
        rest.insert(rest.end(), chunk.begin(), chunk.end());
        return writeAll(fd_, rest.data() + written, rest.size() - static_cast<std::size_t>(written)) ? Direct::written
                                                                                                   : Direct::failed;
    }
}

void PacketWriter::submit(std::vector<std::uint8_t> chunk) {
    if (chunk.empty() || chunk.size() > kMaxPayload) return;
    std::lock_guard lock(mutex_);
    if (failed_) return;
    // Nothing queued and room in the pipe: written at once, which saves the
    // output queue a wake-up and the packet a copy.
    Direct direct = pending_.empty() && !draining_ ? writeDirect(chunk) : Direct::later;
    if (direct == Direct::written) return;
    if (direct == Direct::failed) {
        failed_ = true;
        // The failure is handled on the queue: the caller may be an audio
        // callback that must not tear its own stream down.
        queue_->async([failure = onWriteFailure_] {
            if (failure) failure();
        });
        return;
    }
    pendingBytes_ += chunk.size();
    pending_.push_back(std::move(chunk));
    while (pendingBytes_ > kMaxQueuedBytes && pending_.size() > 1) {
        pendingBytes_ -= pending_.front().size();
        pending_.pop_front();
        ++dropped_;
    }
    if (draining_) return;
    draining_ = true;
    std::weak_ptr<PacketWriter> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) self->drain();
    });
}

std::size_t PacketWriter::droppedPackets() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

void PacketWriter::drain() {
    for (;;) {
        std::vector<std::uint8_t> chunk;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty() || failed_) {
                draining_ = false;
                return;
            }
            chunk = std::move(pending_.front());
            pending_.pop_front();
            pendingBytes_ -= chunk.size();
        }
        if (!writePacket(fd_, chunk)) {
            {
                std::lock_guard lock(mutex_);
                failed_ = true;
                pending_.clear();
                pendingBytes_ = 0;
                draining_ = false;
            }
            if (onWriteFailure_) onWriteFailure_();
            return;
        }
    }
}

}  // namespace veltrane::brennick
