#pragma once
// The desktop's installed applications: listed from their desktop entries,
// shown with 64 x 64 icons, started by identifier or name.

#include <chrono>
#include <map>
#include <mutex>
#include <optional>

#include "ControlDeckCore/adapters/AppLaunching.h"

namespace veltrane::deck {

class MacAppLauncher : public AppLaunching {
public:
    static constexpr std::chrono::seconds kCacheTTL{60};  // how long a scan stays fresh
    static constexpr int kIconSide = 64;

    // The list of the last scan, sorted by name; rescanned first when it is
    // older than the time-to-live or empty.
    std::vector<AppRecord> listApplications() override;
    // The icon of the application with that identifier; none for an unknown
    // one or an icon that cannot be found or drawn. Made once per identifier.
    std::optional<PNGData> iconPNG(const std::string& bundleId) override;
    // The first application whose identifier equals `application` exactly or
    // whose name equals it ignoring case; none: DeckError::notFound. A launch
    // the desktop refuses throws its error (apps::LaunchError) unchanged.
    void open(const std::string& application) override;
    void refresh() override;

private:
    using Clock = std::chrono::steady_clock;
    std::vector<AppRecord> freshList();
    void rescan();

    // The icon route calls in from outside the runtime's queue, so the list
    // has a lock of its own too.
    std::mutex listLock_;
    std::vector<AppRecord> cache_;
    std::optional<Clock::time_point> cacheAt_;  // none: never scanned
    const Clock::duration cacheTTL_ = kCacheTTL;

    std::mutex iconLock_;
    std::map<std::string, PNGData> iconCache_;  // never emptied
};

}  // namespace veltrane::deck
