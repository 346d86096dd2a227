#include "ControlDeckCore/runtime/TimerEngine.h"

#include <algorithm>
#include <vector>

#include "platform/system/UUID.h"
#include "platform/text/CanonicalText.h"

namespace veltrane::deck {

void TimerEngine::changed() const {
    // A copy, so a callback that replaces onChange does not destroy itself.
    if (auto callback = onChange) callback();
}

DeckTimer TimerEngine::start(std::int64_t seconds, const std::optional<std::string>& label) {
    DeckTimer timer{sys::uuidString(), label && !label->empty() ? *label : kDefaultLabel,
                    static_cast<double>(seconds), true, static_cast<double>(seconds)};
    timers[timer.id] = timer;
    changed();
    return timer;
}

void TimerEngine::pause(const std::string& id) {
    if (auto found = timers.find(id); found != timers.end()) found->second.running = false;
    changed();
}

void TimerEngine::resume(const std::string& id) {
    if (auto found = timers.find(id); found != timers.end()) found->second.running = true;
    changed();
}

void TimerEngine::tick(Instant now) {
    // A time before the previous tick (a caller's clock mix-up) charges
    // nothing and does not move the mark back, so no span is charged twice.
    double elapsed = std::max(0.0, std::chrono::duration<double>(now - lastTick).count());
    lastTick = std::max(lastTick, now);

    std::vector<std::string> ids;
    ids.reserve(timers.size());
    for (const auto& [id, timer] : timers) ids.push_back(id);

    std::vector<DeckTimer> finished;
    for (const auto& id : ids) {
        auto found = timers.find(id);
        if (found == timers.end() || !found->second.running) continue;
        DeckTimer& timer = found->second;
        timer.remaining -= elapsed;
        if (timer.remaining <= 0) {
            DeckTimer done = timer;
            done.remaining = 0;
            done.running = false;
            finished.push_back(std::move(done));
            timers.erase(found);
        }
    }

    bool anyRunning = std::any_of(timers.begin(), timers.end(), [](const auto& entry) { return entry.second.running; });
    if (finished.empty() && !(elapsed > kAnnounceInterval && anyRunning)) return;
    changed();
    auto onFinishedNow = onFinished;
    if (onFinishedNow)
        for (const auto& timer : finished) onFinishedNow(timer);
}

Json TimerEngine::publicList() const {
    struct Entry {
        std::string key;
        const DeckTimer* timer;
    };
    std::vector<Entry> entries;
    entries.reserve(timers.size());
    for (const auto& [id, timer] : timers) entries.push_back({text::nfc(timer.label), &timer});
    // NFC bytes compare in scalar order and make equivalent labels equal.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });

    Json list = Json::array();
    for (const auto& entry : entries) {
        const DeckTimer& timer = *entry.timer;
        list.push_back(Json{{"id", timer.id},
                            {"label", timer.label},
                            {"remaining", std::max(timer.remaining, 0.0)},
                            {"running", timer.running},
                            {"duration", timer.duration}});
    }
    return list;
}

}  // namespace veltrane::deck
