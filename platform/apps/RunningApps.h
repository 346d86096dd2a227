#pragma once
// The applications that run now, as far as the desktop lets us see them: each
// with its bundle identifier (a desktop entry on Linux), name and process id.
// The media backend reports MPRIS players; tests and tools inject a fake.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace veltrane::apps {

struct RunningApplication {
    std::optional<std::string> bundleId;
    std::optional<std::string> localizedName;
    std::int32_t pid = 0;  // 0 when not known
};

class RunningApps {
public:
    virtual ~RunningApps() = default;
    // In the order the desktop reports them.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // Whether one of them has exactly this bundle identifier.
    bool bundleRunning(const std::string& bundleId) {
        for (const auto& app : runningApplications())
            if (app.bundleId && *app.bundleId == bundleId) return true;
        return false;
    }
};

// A canned list, replaceable from any thread.
class FakeRunningApps final : public RunningApps {
public:
    FakeRunningApps() = default;
    explicit FakeRunningApps(std::vector<RunningApplication> apps) : apps_(std::move(apps)) {}
    void set(std::vector<RunningApplication> apps) {
        std::lock_guard lock(mutex_);
        apps_ = std::move(apps);
    }
    std::vector<RunningApplication> runningApplications() override {
        std::lock_guard lock(mutex_);
        return apps_;
    }

private:
    std::mutex mutex_;
    std::vector<RunningApplication> apps_;
};

}  // namespace veltrane::apps
