#include "tools/lyrics-lookup/FetchCommands.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "ControlDeckCore/shared/JSON.h"
#include "platform/dispatch/SerialQueue.h"

namespace veltrane::lyricslookup {
namespace {

using lyrics::Json;
using lyrics::OptionalSnapshot;
using Clock = std::chrono::steady_clock;

// How long a call may stay unanswered: beyond every lookup's worst case.
constexpr auto kAnswerLimit = std::chrono::seconds(120);

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::mutex& outputLock() {
    static std::mutex lock;
    return lock;
}

void printLine(const Json& value) {
    const std::string line = deck::JSON::text(value) + "\n";
    std::lock_guard lock(outputLock());
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

lyrics::OptionalText optionalText(const Json& object, const char* key, std::string& error) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) error = std::string("\"") + key + "\" is not a string";
    return it->is_string() ? lyrics::OptionalText(it->get<std::string>()) : std::nullopt;
}

// Counts calls that have had their first answer.
class FirstAnswers {
public:
    void add() {
        std::lock_guard lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    bool waitFor(std::size_t n, Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] { return count_ >= n; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t count_ = 0;
};

void settleFor(double seconds) {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace

Json snapshotJSON(const OptionalSnapshot& s) {
    if (!s) return nullptr;
    Json lines = Json::array();
    for (const auto& line : s->lines) lines.push_back({{"t", line.time}, {"text", line.text}});
    Json out{{"provider", s->provider}, {"synced", s->synced}, {"lines", std::move(lines)}};
    if (s->plain) out["plain"] = *s->plain;
    return out;
}

int runFetch(const FetchTrack& track, int calls, double settle) {
    // Shared with the completions, which may outlive a call that timed out.
    auto answered = std::make_shared<FirstAnswers>();
    for (int call = 0; call < calls; ++call) {
        const auto start = Clock::now();
        auto first = std::make_shared<std::once_flag>();
        lyrics::LyricsLookup::fetch(track.title, track.artist, track.album, track.duration, track.bundleId,
                                    track.songMid, nullptr, [start, first, answered](const OptionalSnapshot& s) {
                                        printLine({{"ms", msSince(start)}, {"answer", snapshotJSON(s)}});
                                        std::call_once(*first, [&] { answered->add(); });
                                    });
        if (!answered->waitFor(call + 1, start + kAnswerLimit)) {
            std::fprintf(stderr, "lyrics-lookup: call %d unanswered after 120 s\n", call + 1);
            return 1;
        }
        settleFor(settle);
    }
    return 0;
}

std::optional<std::vector<FetchTrack>> readBatch(const std::string& path, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    std::vector<FetchTrack> tracks;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const auto where = path + " line " + std::to_string(number) + ": ";
        const auto value = deck::JSON::parse(line);
        if (!value || !value->is_object()) {
            error = where + "not a JSON object";
            return std::nullopt;
        }
        FetchTrack track;
        track.title = optionalText(*value, "title", error).value_or("");
        track.artist = optionalText(*value, "artist", error);
        track.album = optionalText(*value, "album", error);
        track.bundleId = optionalText(*value, "bundleId", error);
        track.songMid = optionalText(*value, "songMid", error);
        if (const auto it = value->find("duration"); it != value->end() && !it->is_null()) {
            if (!it->is_number())
                error = "\"duration\" is not a number";
            else
                track.duration = it->get<double>();
        }
        if (!error.empty()) {
            error = where + error;
            return std::nullopt;
        }
        tracks.push_back(std::move(track));
    }
    return tracks;
}

int runBatch(const std::vector<FetchTrack>& tracks, double settle) {
    // Answers may come before the call returns (refusals and cache hits):
    // they wait here until its callMs is known.
    struct Call {
        Clock::time_point start;
        std::optional<double> callMs;
        std::vector<Json> early;
        bool answered = false;
    };
    struct Shared {
        std::mutex mutex;
        std::vector<Call> calls;
        FirstAnswers answered;
    };
    auto shared = std::make_shared<Shared>();
    shared->calls.resize(tracks.size());
    auto queue = dispatch::SerialQueue::create("lyrics-lookup.batch");
    const auto begun = Clock::now();

    for (std::size_t i = 0; i < tracks.size(); ++i) {
        queue->async([shared, i, track = tracks[i]] {
            auto emit = [shared, i](const OptionalSnapshot& s) {
                std::unique_lock lock(shared->mutex);
                Call& call = shared->calls[i];
                Json line{{"i", i}, {"ms", msSince(call.start)}, {"answer", snapshotJSON(s)}};
                const bool first = !call.answered;
                call.answered = true;
                if (call.callMs) {
                    line["callMs"] = *call.callMs;
                    lock.unlock();
                    printLine(line);
                } else {
                    call.early.push_back(std::move(line));
                    lock.unlock();
                }
                if (first) shared->answered.add();
            };
            {
                std::lock_guard lock(shared->mutex);
                shared->calls[i].start = Clock::now();
            }
            const auto start = Clock::now();
            lyrics::LyricsLookup::fetch(track.title, track.artist, track.album, track.duration, track.bundleId,
                                        track.songMid, nullptr, emit);
            const double callMs = msSince(start);
            std::vector<Json> early;
            {
                std::lock_guard lock(shared->mutex);
                shared->calls[i].callMs = callMs;
                early.swap(shared->calls[i].early);
            }
            for (auto& line : early) {
                line["callMs"] = callMs;
                printLine(line);
            }
        });
    }
    // Every call starts at once, so the last is due 120 s after the start
    // (plus the time the calls themselves took, which is what is measured).
    bool all = shared->answered.waitFor(tracks.size(), begun + kAnswerLimit);
    if (!all) {
        queue->sync([] {});  // every call has been made by now
        all = shared->answered.waitFor(tracks.size(), Clock::now());
    }
    if (!all) {
        std::lock_guard lock(shared->mutex);
        for (std::size_t i = 0; i < shared->calls.size(); ++i)
            if (!shared->calls[i].answered)
                std::fprintf(stderr, "lyrics-lookup: track %zu unanswered after 120 s\n", i);
        return 1;
    }
    settleFor(settle);
    return 0;
}

}  // namespace veltrane::lyricslookup
