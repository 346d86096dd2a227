#include "helpers/brennick/PacketWriter.h"

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

std::vector<std::uint8_t> PacketWriter::header(std::size_t payloadBytes) {
    auto length = static_cast<std::uint32_t>(payloadBytes);
    return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

std::shared_ptr<PacketWriter> PacketWriter::create(std::string label, int fd, std::function<void()> onWriteFailure) {
    return std::shared_ptr<PacketWriter>(new PacketWriter(std::move(label), fd, std::move(onWriteFailure)));
}

PacketWriter::PacketWriter(std::string label, int fd, std::function<void()> onWriteFailure)
    : queue_(dispatch::SerialQueue::create(std::move(label))), fd_(fd), onWriteFailure_(std::move(onWriteFailure)) {}

void PacketWriter::submit(std::vector<std::uint8_t> chunk) {
    if (chunk.empty() || chunk.size() > kMaxPayload) return;
    std::lock_guard lock(mutex_);
    if (failed_) return;
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
        auto head = header(chunk.size());
        if (!writeAll(fd_, head.data(), head.size()) || !writeAll(fd_, chunk.data(), chunk.size())) {
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
