// The control-deck program as a user runs it: a real process on a loopback
// port with its own data directory.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "ControlDeckCore/shared/JSON.h"
#include "platform/system/UUID.h"
#include "tests/support/HostProcess.h"
#include "tests/support/LoopbackHTTP.h"

namespace veltrane {
namespace {

using deck::Json;
using deck::JSON;
using testing::bearer;
using testing::HostProcess;
using testing::httpRequest;

class ControlDeckHost : public ::testing::Test {
protected:
    void SetUp() override {
        data = std::filesystem::temp_directory_path() / ("veltrane-host-" + sys::uuidString());
        port = testing::freeLoopbackPort();
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(data, ignored);
    }
    std::vector<std::string> arguments() const { return testing::hostArguments(port, data); }
    std::regex listeningLine() const { return testing::listeningLine(port); }
    static Json data_of(const testing::HTTPReply& reply) {
        return JSON::parse(reply.body).value_or(Json())["data"];
    }

    std::filesystem::path data;
    std::uint16_t port = 0;
};

TEST_F(ControlDeckHost, ListensPreparesTheDataDirectoryAndStopsCleanly) {
    HostProcess host(CONTROL_DECK_BINARY, arguments());
    ASSERT_TRUE(host.waitForLine(listeningLine())) << host.out() << host.err();
    EXPECT_TRUE(std::filesystem::is_directory(data / "screenshots"));
    EXPECT_TRUE(std::filesystem::is_directory(data / "transfers"));
    EXPECT_FALSE(std::filesystem::exists(data / "settings.json"));
    EXPECT_EQ(httpRequest(port, "GET", "/api/health").status, 200);

    // A second identical process finds the port taken.
    HostProcess second(CONTROL_DECK_BINARY, arguments());
    std::optional<int> failed = second.waitForExit();
    ASSERT_TRUE(failed.has_value());
    EXPECT_NE(*failed, 0);
    EXPECT_THAT(second.err(), ::testing::HasSubstr("Port " + std::to_string(port) +
                                                   " is already in use. Quit the other Veltrane window, then choose "
                                                   "New code."));

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0)) << host.err();
}

TEST_F(ControlDeckHost, StopsWithZeroOnInterrupt) {
    HostProcess host(CONTROL_DECK_BINARY, arguments());
    ASSERT_TRUE(host.waitForLine(listeningLine())) << host.out() << host.err();
    host.signal(SIGINT);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0)) << host.err();
}

TEST_F(ControlDeckHost, TestModePairsEndToEnd) {
    HostProcess host(CONTROL_DECK_BINARY, arguments(), /*testMode=*/true);
    std::optional<std::string> codeLine = host.waitForLine(std::regex("PAIRING_CODE [0-9]{6}"));
    ASSERT_TRUE(codeLine) << host.out() << host.err();
    const std::string code = codeLine->substr(std::string("PAIRING_CODE ").size());

    Json paired = data_of(httpRequest(port, "POST", "/api/pairing/request",
                                      JSON::text(Json{{"code", code}, {"deviceName", "Host Tab"}})));
    ASSERT_EQ(paired["status"], "approved") << paired;
    const std::string deviceId = paired["deviceId"];
    const std::string deviceToken = paired["deviceToken"];

    Json session = data_of(httpRequest(port, "POST", "/api/session",
                                       JSON::text(Json{{"deviceId", deviceId}, {"deviceToken", deviceToken}})));
    const std::string token = session["session"];
    ASSERT_FALSE(token.empty());

    Json devices = data_of(httpRequest(port, "GET", "/api/devices", {}, bearer(token)));
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["id"], deviceId);
    EXPECT_EQ(devices[0]["name"], "Host Tab");

    Json state = data_of(httpRequest(port, "GET", "/api/state", {}, bearer(token)));
    EXPECT_EQ(state.size(), 17u) << state;

    // One request was accepted above; seven more fill the 10 s window.
    for (int i = 0; i < 7; ++i) httpRequest(port, "POST", "/api/pairing/request", R"({"code":"000000"})");
    testing::HTTPReply ninth = httpRequest(port, "POST", "/api/pairing/request", R"({"code":"000000"})");
    EXPECT_EQ(ninth.status, 422);
    EXPECT_EQ(JSON::parse(ninth.body).value_or(Json())["error"]["message"],
              "Too many pairing attempts. Wait a moment and try again.");

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0));
}

}  // namespace
}  // namespace veltrane
