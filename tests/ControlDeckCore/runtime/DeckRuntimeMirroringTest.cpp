// POST /api/veltrane/mirroring: starting the sender, its error, and tickets.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <regex>

#include "platform/crypto/Crypto.h"
#include "platform/dispatch/MainQueue.h"
#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"

namespace veltrane::deck::testing {
namespace {

class MirroringRouteTest : public RuntimeFixture {
protected:
    void SetUp() override {
        startRuntime();
        runtime->setOnMirroringRequest([this] { ++requests; });
        pair();
    }

    HTTPReply ask() { return authed("POST", "/api/veltrane/mirroring"); }

    Json grants() const {
        std::ifstream in(data.path() / "Connection" / "stream-grants.json");
        return JSON::parse(std::string(std::istreambuf_iterator<char>(in), {})).value_or(Json());
    }

    std::atomic<int> requests{0};
};

TEST_F(MirroringRouteTest, NotReadyAnswersStartingAndAsksTheApplicationOnce) {
    runtime->setMirroringState(5901, false, std::nullopt);
    HTTPReply reply = ask();
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.body, R"({"data":{"status":"starting"},"ok":true})");
    auto& main = dispatch::MainQueue::shared();
    ASSERT_TRUE(main.runUntil([&] { return requests.load() > 0; }, dispatch::seconds(10)));
    main.drain();
    EXPECT_EQ(requests.load(), 1);
    EXPECT_EQ(grants()["tickets"], Json::array());
}

TEST_F(MirroringRouteTest, ReportedErrorAnswers422WithItsText) {
    runtime->setMirroringState(5901, true, "Screen Recording permission is missing.");
    HTTPReply reply = ask();
    EXPECT_EQ(reply.status, 422);
    EXPECT_EQ(reply.body,
              R"({"error":{"code":"invalid_state","message":"Screen Recording permission is missing."},"ok":false})");
    dispatch::MainQueue::shared().drain();
    EXPECT_EQ(requests.load(), 0);
}

TEST_F(MirroringRouteTest, ReadyHandsOutATicketRecordedInTheGrantsFile) {
    runtime->setMirroringState(5901, true, std::nullopt);
    HTTPReply reply = ask();
    ASSERT_EQ(reply.status, 200) << reply.body;
    Json data = body(reply)["data"];
    EXPECT_EQ(data["status"], "ready");
    EXPECT_EQ(data["port"], 5901);
    const std::string ticket = data["ticket"];
    EXPECT_TRUE(std::regex_match(ticket, std::regex("[0-9]{6}"))) << ticket;
    EXPECT_EQ(data.size(), 3u);

    Json file = grants();
    EXPECT_EQ(file["devices"], Json::array({tablet.deviceId}));
    ASSERT_EQ(file["tickets"].size(), 1u);
    EXPECT_EQ(file["tickets"][0]["hash"], crypto::sha256Hex(ticket));
    EXPECT_EQ(file["tickets"][0]["deviceId"], tablet.deviceId);
    EXPECT_EQ(file["tickets"][0]["remoteHost"], "127.0.0.1");

    // A second request replaces the device's ticket.
    const std::string second = body(ask())["data"]["ticket"];
    file = grants();
    ASSERT_EQ(file["tickets"].size(), 1u);
    EXPECT_EQ(file["tickets"][0]["hash"], crypto::sha256Hex(second));
    dispatch::MainQueue::shared().drain();
    EXPECT_EQ(requests.load(), 0);
}

TEST_F(MirroringRouteTest, NeedsASession) {
    EXPECT_EQ(request("POST", "/api/veltrane/mirroring").status, 401);
    dispatch::MainQueue::shared().drain();
    EXPECT_EQ(requests.load(), 0);
}

}  // namespace
}  // namespace veltrane::deck::testing
