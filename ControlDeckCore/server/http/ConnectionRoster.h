#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace veltrane::deck {

// The HTTP connections a server holds, in the order they arrived, so that
// neither slow nor idle peers can pile up descriptors and buffers.
//
// A connection is either waiting on its peer (still sending its request, or
// not yet reading the answer) or being handled (the request handler has it).
// At capacity, the connection that arrived first among those waiting on their
// peer is dropped for the newcomer; handled ones are never dropped, and when
// every connection is being handled the newcomer is refused. A connection
// still sending its request past the deadline is dropped as well, and so is
// one whose answer goes out in pieces (a file) when no piece has moved for
// the deadline.
class ConnectionRoster {
public:
    using Clock = std::chrono::steady_clock;
    using Cancel = std::function<void()>;
    using Id = std::uint64_t;

    enum class Phase { reading, handling, writing };

    explicit ConnectionRoster(std::size_t capacity) : capacity_(capacity) {}

    struct Admission {
        std::optional<Id> id;        // absent: refused
        std::vector<Cancel> evicted;  // to run outside the roster, after admit()
    };
    // Registers a new connection in the reading phase; `cancel` drops it.
    Admission admit(Cancel cancel, Clock::time_point now);

    void setPhase(Id id, Phase phase);
    // Part of the answer reached the peer at `now`: it is writing, and its
    // deadline counts from here.
    void progressed(Id id, Clock::time_point now);
    // Forgets a connection (closed, or handed over). Unknown ids are ignored.
    void remove(Id id);

    // Removes and returns the connections still reading that arrived more
    // than `deadline` before `now`, and those writing whose last progress
    // came more than `deadline` before it.
    std::vector<Cancel> expire(Clock::time_point now, Clock::duration deadline);

    // Removes every connection and returns their cancels (the server is going away).
    std::vector<Cancel> removeAll();

    std::size_t size() const;

private:
    struct Entry {
        Cancel cancel;
        Clock::time_point arrived;
        Phase phase = Phase::reading;
        std::optional<Clock::time_point> lastProgress;  // only for answers that report it
    };
    // Each accepting thread keeps its connections in a shard of its own, so
    // that loops answering at once do not contend for one lock; only the
    // slot count and the arrival sequence are shared. An id is its arrival
    // sequence with its shard in the low bits, so ids still order arrivals.
    static constexpr unsigned kShardBits = 2;
    static constexpr std::size_t kShards = std::size_t{1} << kShardBits;
    struct alignas(64) Shard {
        mutable std::mutex mutex;
        std::map<Id, Entry> entries;
    };
    Shard& shardOf(Id id) { return shards_[id & (kShards - 1)]; }
    static std::size_t shardOfThisThread();
    // Takes one of the capacity's slots; false when none is free.
    bool claimSlot();
    // With every shard locked: drops the oldest connection waiting on its
    // peer, whose slot the newcomer takes; false when all are being handled.
    bool evictOldestWaitingLocked(Admission& admission);
    std::vector<std::unique_lock<std::mutex>> lockAll() const;

    const std::size_t capacity_;
    std::array<Shard, kShards> shards_;
    alignas(64) std::atomic<std::size_t> slots_{0};  // entries, and admissions claiming one
    alignas(64) std::atomic<Id> nextSequence_{1};
};

}  // namespace veltrane::deck
