#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <random>
#include <thread>

#include "ControlDeckCore/data/FileStore.h"
#include "platform/process/ChildProcess.h"
#include "tests/ControlDeckCore/data/CrashTestLayouts.h"
#include "tests/support/TempDirectory.h"

using namespace veltrane::deck;
using veltrane::process::ChildProcess;
using veltrane::testing::crashTestLayout;
using veltrane::testing::TempDirectory;
using namespace std::chrono_literals;

namespace {
constexpr int kRounds = 40;
// Only guards against a hang; nothing here is timed.
constexpr auto kPatience = 60s;
}  // namespace

TEST(FileStoreCrash, LayoutSurvivesAKillAtAnyMoment) {
    TempDirectory dir;
    const std::string versions[] = {*FileStore::encode(crashTestLayout(0).encode()),
                                    *FileStore::encode(crashTestLayout(1).encode())};
    const auto layoutPath = dir.path() / "layout.json";
    const auto temporaryPath = dir.path() / "layout.json.tmp";
    std::mt19937 random(20250131);
    int killsWithTemporaryLeft = 0;

    for (int round = 0; round < kRounds; ++round) {
        std::string error;
        auto child = ChildProcess::spawn(VELTRANE_LAYOUT_SAVE_LOOP, {dir.path().string()}, error);
        ASSERT_TRUE(child) << error;
        std::string output;
        auto sink = [&](ChildProcess::Stream, const char* data, std::size_t size) { output.append(data, size); };
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (output.find("saved") == std::string::npos && std::chrono::steady_clock::now() < deadline)
            if (!child->pump(100ms, sink)) break;
        ASSERT_NE(output.find("saved"), std::string::npos) << "the save loop did not start: " << output;

        // Somewhere within the next few saves.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        child->sendSignal(SIGKILL);
        while (child->pump(100ms, sink) && std::chrono::steady_clock::now() < deadline) {
        }
        while (child->isRunning() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        ASSERT_EQ(child->terminationStatus(), SIGKILL) << "round " << round;

        auto bytes = veltrane::fs::FileSystem::local()->readFile(layoutPath);
        ASSERT_TRUE(bytes.has_value()) << "round " << round;
        ASSERT_TRUE(FileStore::decode(*bytes).has_value()) << "round " << round << ": layout.json does not parse";
        ASSERT_TRUE(*bytes == versions[0] || *bytes == versions[1]) << "round " << round << ": not a whole layout";
        if (std::filesystem::exists(temporaryPath)) ++killsWithTemporaryLeft;
    }

    FileStore store(dir.path());
    store.saveLayout(LayoutDocument::makeDefault());
    EXPECT_FALSE(std::filesystem::exists(temporaryPath));
    EXPECT_EQ(store.loadLayout(), LayoutDocument::makeDefault());
    RecordProperty("killsWithTemporaryLeft", killsWithTemporaryLeft);
}
