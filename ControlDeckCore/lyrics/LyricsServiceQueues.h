#pragma once
// Internal to the lyrics front: where its lookups and racers run, and which
// service a lookup thread works for.

#include <cstddef>

#include "platform/dispatch/ConcurrentQueue.h"

namespace veltrane::lyrics {

class LyricsService;

namespace detail {

// Both grow a thread per hanging lookup up to their cap and shed idle
// threads; process-wide and left alive at exit, when lookups may still hang.
inline constexpr std::size_t kLookupThreadCap = 256;
dispatch::ConcurrentQueue& lookupQueue();  // lookups, one thread each
dispatch::ConcurrentQueue& raceQueue();    // "veltrane.lyrics.race": the racers
// Hands new lookups to lookupQueue(), so the caller of fetch never pays for
// starting a thread (which, with many lookups starting at once, waits on the
// process's memory map).
dispatch::DispatchQueue& launchQueue();

// The service whose lookup runs on this thread, so the providers it calls
// read that service's policy and endpoints.
extern thread_local LyricsService* threadService;

class ServiceScope {
public:
    explicit ServiceScope(LyricsService& service) : previous_(threadService) { threadService = &service; }
    ~ServiceScope() { threadService = previous_; }
    ServiceScope(const ServiceScope&) = delete;
    ServiceScope& operator=(const ServiceScope&) = delete;

private:
    LyricsService* previous_;
};

}  // namespace detail
}  // namespace veltrane::lyrics
