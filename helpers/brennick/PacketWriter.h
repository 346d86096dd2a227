#pragma once
// Packets on standard output: the byte count as 4 big-endian bytes, then the
// 16-bit stereo frames, one packet after the other under one lock. A pipe
// with room takes a packet straight from the capture thread (a non-blocking
// write of at most PIPE_BUF bytes, all or nothing); otherwise it waits for the
// serial output queue, so the capture side never blocks. When
// the reader falls behind, about one second stays queued and the oldest
// packets go.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/SerialQueue.h"

namespace veltrane::brennick {

class PacketWriter : public std::enable_shared_from_this<PacketWriter> {
public:
    static constexpr std::size_t kMaxPayload = 65535;         // L stays below 65,536
    static constexpr std::size_t kMaxQueuedBytes = 48000 * 4;  // about 1 s of 48 kHz stereo 16-bit

    // `onWriteFailure` runs once, on the queue, when the reader is gone.
    static std::shared_ptr<PacketWriter> create(std::string label, int fd, std::function<void()> onWriteFailure);
    ~PacketWriter();
    PacketWriter(const PacketWriter&) = delete;
    PacketWriter& operator=(const PacketWriter&) = delete;

    // Queues one packet; an empty chunk, one of more than kMaxPayload bytes
    // and everything after a failed write are dropped.
    void submit(std::vector<std::uint8_t> chunk);

    std::size_t droppedPackets() const;

    // The bytes of one packet as they go out.
    static std::vector<std::uint8_t> header(std::size_t payloadBytes);

private:
    PacketWriter(std::string label, int fd, std::function<void()> onWriteFailure);
    void drain();
    enum class Direct { written, later, failed };
    Direct writeDirect(const std::vector<std::uint8_t>& chunk);

    std::shared_ptr<dispatch::SerialQueue> queue_;
    const int fd_;
    int directFD_ = -1;  // the same pipe, non-blocking; -1 when the output is no pipe
    std::function<void()> onWriteFailure_;
    mutable std::mutex mutex_;  // the fields below
    std::deque<std::vector<std::uint8_t>> pending_;
    std::size_t pendingBytes_ = 0;
    bool draining_ = false;
    bool failed_ = false;
    std::size_t dropped_ = 0;
};

// Writes all of `data` to `fd`, retrying interrupted and partial writes.
bool writeAll(int fd, const void* data, std::size_t size);
// One packet, header and frames, likewise.
bool writePacket(int fd, const std::vector<std::uint8_t>& chunk);

}  // namespace veltrane::brennick
