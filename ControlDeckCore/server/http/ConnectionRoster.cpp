#include "ControlDeckCore/server/http/ConnectionRoster.h"

namespace veltrane::deck {

ConnectionRoster::Admission ConnectionRoster::admit(Cancel cancel, Clock::time_point now) {
    Admission admission;
    std::lock_guard lock(mutex_);
    if (entries_.size() >= capacity_) {
        auto victim = entries_.begin();
        while (victim != entries_.end() && victim->second.phase == Phase::handling) ++victim;
        if (victim == entries_.end()) return admission;
        admission.evicted.push_back(std::move(victim->second.cancel));
        entries_.erase(victim);
    }
    Id id = nextId_++;
    entries_.emplace(id, Entry{std::move(cancel), now, Phase::reading, std::nullopt});
    admission.id = id;
    return admission;
}

void ConnectionRoster::setPhase(Id id, Phase phase) {
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(id); it != entries_.end()) it->second.phase = phase;
}

void ConnectionRoster::progressed(Id id, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(id); it != entries_.end()) {
        it->second.phase = Phase::writing;
        it->second.lastProgress = now;
    }
}

void ConnectionRoster::remove(Id id) {
    Cancel dropped;
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(id); it != entries_.end()) {
        dropped = std::move(it->second.cancel);
        entries_.erase(it);
    }
}

std::vector<ConnectionRoster::Cancel> ConnectionRoster::expire(Clock::time_point now, Clock::duration deadline) {
    std::vector<Cancel> expired;
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        const Entry& entry = it->second;
        std::optional<Clock::time_point> since;
        if (entry.phase == Phase::reading) since = entry.arrived;
        if (entry.phase == Phase::writing) since = entry.lastProgress;
        if (since && now - *since > deadline) {
            expired.push_back(std::move(it->second.cancel));
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    return expired;
}

std::vector<ConnectionRoster::Cancel> ConnectionRoster::removeAll() {
    std::vector<Cancel> all;
    std::lock_guard lock(mutex_);
    for (auto& [id, entry] : entries_) all.push_back(std::move(entry.cancel));
    entries_.clear();
    return all;
}

std::size_t ConnectionRoster::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace veltrane::deck
