#pragma once
// The applications that run now: each with its identifier and process id.
// Tests and tools inject theirs (FakeRunningApps).

#include <cstdint>
#include <string>
#include <vector>

namespace veltrane::apps {

struct RunningApplication {
    std::string bundleId;
    std::int32_t pid = 0;
    bool operator==(const RunningApplication&) const = default;
};

class RunningApps {
public:
    virtual ~RunningApps() = default;
    // In the order the desktop reports them.
    virtual std::vector<RunningApplication> running() = 0;
};

class FakeRunningApps final : public RunningApps {
public:
    FakeRunningApps() = default;
    explicit FakeRunningApps(std::vector<RunningApplication> applications) : applications(std::move(applications)) {}
    std::vector<RunningApplication> applications;
    std::vector<RunningApplication> running() override { return applications; }
};

}  // namespace veltrane::apps
