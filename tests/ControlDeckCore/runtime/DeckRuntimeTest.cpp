#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "ControlDeckCore/adapters/FakeMediaAdapter.h"
#include "ControlDeckCore/adapters/FakeVolumeAdapter.h"
#include "ControlDeckCore/data/LayoutDocument.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"
#include "tests/support/LoopbackHTTP.h"

namespace veltrane::deck::testing {
namespace {

class Lifecycle : public RuntimeFixture {
protected:
    void writeData(const std::string& name, const std::string& text) {
        std::ofstream(data.path() / name, std::ios::binary) << text;
    }
    std::shared_ptr<DeckRuntime> build(RuntimeOptions options) {
        runtime = DeckRuntime::create(std::move(options), adapters);
        return runtime;
    }
};

struct SettingsCase {
    const char* name;
    const char* file;  // nullptr: no settings.json
    std::uint16_t optionPort;
    const char* optionName;
    std::uint16_t port;
    const char* deviceName;  // nullptr: the computer's own name
};

TEST_F(Lifecycle, SettingsFileAndOptionsCombineAtConstruction) {
    const SettingsCase cases[] = {
        {"no file takes the options' name", nullptr, 8741, "Opt", 8741, "Opt"},
        {"stored port survives the default option", R"({"port":9000,"deviceName":"Stored"})", 8741, "Opt", 9000,
         "Stored"},
        {"another option port wins", R"({"port":9000,"deviceName":"Stored"})", 8742, "Opt", 8742, "Stored"},
        {"empty stored name takes the options' name", R"({"deviceName":""})", 8741, "Opt", 8741, "Opt"},
        {"empty option name is kept", nullptr, 8741, "", 8741, ""},
        {"undecodable file keeps the computer's name", R"({"mediaEnabled":"yes"})", 8741, "Opt", 8741, nullptr},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory directory;
        if (c.file) std::ofstream(directory.path() / "settings.json") << c.file;
        RuntimeOptions options = optionsFor(directory.path());
        options.port = c.optionPort;
        options.deviceName = c.optionName;
        std::shared_ptr<DeckRuntime> built = DeckRuntime::create(options, AdapterSet::fake());
        EXPECT_EQ(built->settings().port, c.port);
        EXPECT_EQ(built->settings().deviceName, c.deviceName ? c.deviceName : DeckSettings::defaultDeviceName());
        // Construction writes no data file.
        EXPECT_EQ(std::filesystem::exists(directory.path() / "settings.json"), c.file != nullptr);
        EXPECT_FALSE(std::filesystem::exists(directory.path() / "identity.json"));
    }
}

TEST_F(Lifecycle, DamagedLayoutFilesGiveTheDefaultLayout) {
    for (const char* content : {"", "not json", "[]"}) {
        SCOPED_TRACE(content);
        TemporaryDirectory directory;
        std::ofstream(directory.path() / "layout.json") << content;
        std::shared_ptr<DeckRuntime> built = DeckRuntime::create(optionsFor(directory.path()), AdapterSet::fake());
        EXPECT_EQ(built->layout(), LayoutDocument::makeDefault());
    }
}

TEST_F(Lifecycle, StartLeavesTheDataFoldersAndNoSettingsFile) {
    const std::filesystem::path nested = data.path() / "a" / "b";
    startRuntime(optionsFor(nested));
    EXPECT_TRUE(std::filesystem::is_directory(nested / "screenshots"));
    EXPECT_TRUE(std::filesystem::is_directory(nested / "transfers"));
    EXPECT_FALSE(std::filesystem::exists(nested / "settings.json"));
    pair();
    // The Fake set keeps received files inside the data directory.
    EXPECT_EQ(body(authed("GET", "/api/files"))["data"]["inboxDir"], (nested / "inbox").string());
}

TEST_F(Lifecycle, RunningOnlyWhileListening) {
    build(optionsFor(data.path()));
    runtime->stop();  // before start: no failure
    EXPECT_FALSE(runtime->uiState().isRunning);
    runtime->start();
    EXPECT_TRUE(runtime->uiState().isRunning);
    EXPECT_NE(runtime->uiState().port, 0);
    EXPECT_EQ(request("GET", "/api/health").status, 200);
    const std::uint16_t port = runtime->port();
    EXPECT_FALSE(veltrane::testing::loopbackPortFree(port));
    runtime->stop();
    EXPECT_FALSE(runtime->uiState().isRunning);
    EXPECT_TRUE(veltrane::testing::loopbackPortFree(port));
}

TEST_F(Lifecycle, PortInUseFailsWithTheMessageNamingTheSettingsPort) {
    startRuntime();
    const std::uint16_t taken = runtime->port();
    TemporaryDirectory other;
    RuntimeOptions options = optionsFor(other.path());
    options.port = taken;
    std::shared_ptr<DeckRuntime> second = DeckRuntime::create(options, AdapterSet::fake());
    try {
        second->start();
        FAIL() << "start succeeded on a port in use";
    } catch (const DeckError& error) {
        EXPECT_EQ(error.code(), "invalid_state");
        EXPECT_EQ(error.message(), "Port " + std::to_string(taken) +
                                       " is already in use. Quit the other Veltrane window, then choose New code.");
    }
    EXPECT_FALSE(second->uiState().isRunning);
    // The first runtime is untouched.
    EXPECT_EQ(request("GET", "/api/health").status, 200);
}

TEST_F(Lifecycle, DashboardURLsStartWithLoopback) {
    startRuntime();
    const std::vector<std::string> urls = runtime->dashboardURLs();
    ASSERT_FALSE(urls.empty());
    EXPECT_EQ(urls[0], "http://127.0.0.1:" + std::to_string(runtime->port()) + "/");
    for (const std::string& url : urls) EXPECT_THAT(url, ::testing::EndsWith(":" + std::to_string(runtime->port()) + "/"));
}

TEST_F(Lifecycle, VolumeChangesReachTheApplicationWithoutATabletMediaChangesDoNot) {
    auto volume = fake<FakeVolumeAdapter>();
    auto media = fake<FakeMediaAdapter>();
    ASSERT_TRUE(volume && media);
    std::atomic<int> changes{0};
    build(optionsFor(data.path()));
    runtime->setOnStateChange([&](const DeckState&) { ++changes; });
    runtime->start();

    media->playPause();
    // A barrier: anything the callback queued has run once a later call returns.
    runtime->settings();
    EXPECT_EQ(changes.load(), 0);

    volume->setMuted(true);
    runtime->settings();
    EXPECT_EQ(changes.load(), 1);
}

TEST_F(Lifecycle, UpdateSettingsWritesTheFileAndBroadcasts) {
    std::atomic<int> changes{0};
    build(optionsFor(data.path()));
    runtime->setOnStateChange([&](const DeckState&) { ++changes; });
    DeckSettings settings = runtime->settings();
    settings.clipboardEnabled = true;
    settings.port = 9999;
    runtime->updateSettings(settings);
    EXPECT_EQ(changes.load(), 1);
    std::ifstream in(data.path() / "settings.json");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Json stored = JSON::parse(text).value();
    EXPECT_EQ(stored["clipboardEnabled"], true);
    EXPECT_EQ(stored["port"], 9999);
}

TEST_F(Lifecycle, ResetConfigurationForgetsDevicesAndRewritesTheDefaults) {
    startRuntime();
    pair();
    authed("PUT", "/api/actions", R"([{"id":"x","title":"t","type":"lock_mac"}])");
    authed("PUT", "/api/settings", R"({"theme":"dark"})");
    runtime->resetConfiguration();
    EXPECT_TRUE(runtime->devices().empty());
    EXPECT_TRUE(runtime->actions().empty());
    EXPECT_EQ(runtime->settings().theme, "system");
    EXPECT_EQ(runtime->settings().deviceName, "Test Desk");
    EXPECT_TRUE(std::filesystem::exists(data.path() / "settings.json"));
    EXPECT_TRUE(std::filesystem::exists(data.path() / "layout.json"));
    EXPECT_FALSE(std::filesystem::exists(data.path() / "actions.json"));
    EXPECT_EQ(authed("GET", "/api/state").status, 401);
}

TEST_F(Lifecycle, MirroringStateWritesTheGrantsFileWithTheDevices) {
    startRuntime();
    const PairedTablet paired = pair();
    runtime->setMirroringState(5901, false, std::nullopt);
    runtime->settings();  // barrier for the queued write
    std::ifstream in(runtime->mirroringTicketsURL());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Json grants = JSON::parse(text).value_or(Json());
    EXPECT_EQ(grants["devices"], Json::array({paired.deviceId}));
}

TEST_F(Lifecycle, RevokeFromTheApplicationDropsTheDevice) {
    startRuntime();
    const PairedTablet paired = pair();
    runtime->revokeDevice(paired.deviceId);
    EXPECT_TRUE(runtime->devices()[0].revoked);
    EXPECT_FALSE(runtime->uiState().devices[0].connected);
    EXPECT_EQ(authed("GET", "/api/state").status, 401);
    EXPECT_THROW(runtime->renameDevice("nobody", "x"), DeckError);
}

}  // namespace
}  // namespace veltrane::deck::testing
