// Requests, the application's thread and adapter callbacks at once. These
// tests find their faults under ThreadSanitizer; in the other builds they
// check that every answer still arrives intact.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"

namespace veltrane::deck::testing {
namespace {

// An application adapter with a cache and no lock of its own, like a real
// launcher: listing rewrites the cache that icon rendering reads.
class CachingLauncher : public AppLaunching {
public:
    std::vector<AppRecord> listApplications() override {
        cache_.clear();
        for (int i = 0; i < 50; ++i) cache_.push_back({"app." + std::to_string(i), "App", "/apps/" + std::to_string(i)});
        return cache_;
    }
    std::optional<PNGData> iconPNG(const std::string& bundleId) override {
        for (const AppRecord& app : cache_)
            if (app.bundleId == bundleId) return PNGData("\x89PNG icon");
        return std::nullopt;
    }
    void open(const std::string&) override {}
    void refresh() override { cache_.clear(); }

private:
    std::vector<AppRecord> cache_;
};

class Concurrency : public RuntimeFixture {};

TEST_F(Concurrency, IconsRenderOffTheQueueWithoutRacingTheApplicationList) {
    adapters.apps = std::make_shared<CachingLauncher>();
    startRuntime();
    pair();
    authed("GET", "/api/apps");  // fills the cache
    constexpr int kRounds = 40;
    std::atomic<int> icons{0}, lists{0};
    std::thread iconThread([&] {
        for (int i = 0; i < kRounds; ++i)
            if (authed("GET", "/api/apps/app.7/icon").status == 200) ++icons;
    });
    std::thread listThread([&] {
        for (int i = 0; i < kRounds; ++i)
            if (authed("GET", "/api/apps").status == 200) ++lists;
    });
    iconThread.join();
    listThread.join();
    EXPECT_EQ(lists.load(), kRounds);
    EXPECT_GT(icons.load(), 0);
}

TEST_F(Concurrency, ApplicationCallsRequestsAndCallbacksShareTheRuntimeSafely) {
    startRuntime();
    pair();
    std::atomic<int> states{0};
    runtime->setOnStateChange([&](const DeckState&) { ++states; });
    constexpr int kRounds = 30;
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i)
            if (request("GET", "/api/health").status != 200) failed = true;
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i)
            if (authed("GET", "/api/state").status != 200) failed = true;
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            DeckSettings settings = runtime->settings();
            settings.deviceName = "Desk " + std::to_string(i);
            runtime->updateSettings(settings);
            runtime->beginPairing();
            (void)runtime->uiState();
            (void)runtime->port();
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) authed("PUT", "/api/settings", R"({"theme":"light"})");
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (runtime->devices().size() != 1) failed = true;
            (void)runtime->pendingPairing();
            (void)runtime->dashboardURLs();
        }
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_FALSE(failed.load());
    EXPECT_GE(states.load(), kRounds);
    Json health = body(request("GET", "/api/health"))["data"];
    EXPECT_EQ(health["name"], "Desk " + std::to_string(kRounds - 1));
    EXPECT_EQ(health["pairing"], true);
}

}  // namespace
}  // namespace veltrane::deck::testing
