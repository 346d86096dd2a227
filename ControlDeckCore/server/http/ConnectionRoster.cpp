#include "ControlDeckCore/server/http/ConnectionRoster.h"

#include <algorithm>
#include <utility>

namespace veltrane::deck {

namespace {
using Dropped = std::vector<std::pair<ConnectionRoster::Id, ConnectionRoster::Cancel>>;

// In arrival order, whichever shards they came from.
std::vector<ConnectionRoster::Cancel> inArrivalOrder(Dropped dropped) {
    std::sort(dropped.begin(), dropped.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<ConnectionRoster::Cancel> cancels;
    cancels.reserve(dropped.size());
    for (auto& entry : dropped) cancels.push_back(std::move(entry.second));
    return cancels;
}
}  // namespace

std::size_t ConnectionRoster::shardOfThisThread() {
    static std::atomic<std::size_t> threads{0};
    thread_local const std::size_t shard = threads.fetch_add(1, std::memory_order_relaxed) % kShards;
    return shard;
}

std::vector<std::unique_lock<std::mutex>> ConnectionRoster::lockAll() const {
    std::vector<std::unique_lock<std::mutex>> locks;
    locks.reserve(kShards);
    for (const Shard& shard : shards_) locks.emplace_back(shard.mutex);  // always in index order
    return locks;
}

ConnectionRoster::Admission ConnectionRoster::admit(Cancel cancel, Clock::time_point now) {
    Admission admission;
    const std::size_t own = shardOfThisThread();
    Shard& shard = shards_[own];
    std::vector<std::unique_lock<std::mutex>> all;
    std::unique_lock<std::mutex> lock;
    if (claimSlot()) {
        lock = std::unique_lock(shard.mutex);
    } else {
        // Full: with every shard locked, a slot that came free meanwhile,
        // or else the oldest connection waiting on its peer makes room.
        all = lockAll();
        if (!claimSlot() && !evictOldestWaitingLocked(admission)) return admission;
    }
    const Id id = (nextSequence_.fetch_add(1, std::memory_order_relaxed) << kShardBits) | own;
    shard.entries.emplace(id, Entry{std::move(cancel), now, Phase::reading, std::nullopt});
    admission.id = id;
    return admission;
}

bool ConnectionRoster::claimSlot() {
    if (slots_.fetch_add(1, std::memory_order_relaxed) < capacity_) return true;
    slots_.fetch_sub(1, std::memory_order_relaxed);
    return false;
}

bool ConnectionRoster::evictOldestWaitingLocked(Admission& admission) {
    std::map<Id, Entry>* victimShard = nullptr;
    std::map<Id, Entry>::iterator victim;
    for (Shard& shard : shards_) {
        auto it = std::find_if(shard.entries.begin(), shard.entries.end(),
                               [](const auto& entry) { return entry.second.phase != Phase::handling; });
        if (it != shard.entries.end() && (!victimShard || it->first < victim->first)) {
            victimShard = &shard.entries;
            victim = it;
        }
    }
    if (!victimShard) return false;
    // The dropped connection's slot passes to the newcomer.
    admission.evicted.push_back(std::move(victim->second.cancel));
    victimShard->erase(victim);
    return true;
}

void ConnectionRoster::setPhase(Id id, Phase phase) {
    Shard& shard = shardOf(id);
    std::lock_guard lock(shard.mutex);
    if (auto it = shard.entries.find(id); it != shard.entries.end()) it->second.phase = phase;
}

void ConnectionRoster::progressed(Id id, Clock::time_point now) {
    Shard& shard = shardOf(id);
    std::lock_guard lock(shard.mutex);
    if (auto it = shard.entries.find(id); it != shard.entries.end()) {
        it->second.phase = Phase::writing;
        it->second.lastProgress = now;
    }
}

void ConnectionRoster::remove(Id id) {
    Cancel dropped;  // destroyed after the lock is released
    Shard& shard = shardOf(id);
    std::lock_guard lock(shard.mutex);
    if (auto it = shard.entries.find(id); it != shard.entries.end()) {
        dropped = std::move(it->second.cancel);
        shard.entries.erase(it);
        slots_.fetch_sub(1, std::memory_order_relaxed);
    }
}

std::vector<ConnectionRoster::Cancel> ConnectionRoster::expire(Clock::time_point now, Clock::duration deadline) {
    Dropped expired;
    for (Shard& shard : shards_) {
        std::lock_guard lock(shard.mutex);
        for (auto it = shard.entries.begin(); it != shard.entries.end();) {
            const Entry& entry = it->second;
            std::optional<Clock::time_point> since;
            if (entry.phase == Phase::reading) since = entry.arrived;
            if (entry.phase == Phase::writing) since = entry.lastProgress;
            if (since && now - *since > deadline) {
                expired.emplace_back(it->first, std::move(it->second.cancel));
                it = shard.entries.erase(it);
                slots_.fetch_sub(1, std::memory_order_relaxed);
            } else {
                ++it;
            }
        }
    }
    return inArrivalOrder(std::move(expired));
}

std::vector<ConnectionRoster::Cancel> ConnectionRoster::removeAll() {
    Dropped all;
    const auto locks = lockAll();
    for (Shard& shard : shards_) {
        for (auto& [id, entry] : shard.entries) all.emplace_back(id, std::move(entry.cancel));
        slots_.fetch_sub(shard.entries.size(), std::memory_order_relaxed);
        shard.entries.clear();
    }
    return inArrivalOrder(std::move(all));
}

std::size_t ConnectionRoster::size() const {
    const auto locks = lockAll();
    std::size_t total = 0;
    for (const Shard& shard : shards_) total += shard.entries.size();
    return total;
}

}  // namespace veltrane::deck
