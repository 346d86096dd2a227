#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "ControlDeckCore/server/pairing/Token.h"
#include "platform/dispatch/MainQueue.h"
#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"

namespace veltrane::deck::testing {
namespace {

class PairingFlow : public RuntimeFixture {
protected:
    HTTPReply requestPairing(const std::string& code, const std::string& extra = "") {
        return request("POST", "/api/pairing/request", "{\"code\":\"" + code + "\"" + extra + "}");
    }
    static Json readFile(const std::filesystem::path& file) {
        std::ifstream in(file);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return JSON::parse(text).value_or(Json());
    }
};

TEST_F(PairingFlow, PendingRequestThenApprovalHandsTheTokenOutOnce) {
    startRuntime();
    std::atomic<int> calls{0};
    std::string seenName;
    runtime->setOnPairingRequest([&](const PairingRequest& request) {
        seenName = request.deviceName;
        ++calls;
    });
    const PairingOffer offer = runtime->beginPairing();
    HTTPReply pending = requestPairing(offer.code, ",\"deviceName\":\"Kitchen\"");
    ASSERT_EQ(pending.status, 200) << pending.body;
    Json data = body(pending)["data"];
    EXPECT_EQ(data.size(), 3u) << data;
    EXPECT_EQ(data["status"], "pending");
    EXPECT_EQ(data["deviceName"], "Kitchen");
    ASSERT_TRUE(dispatch::MainQueue::shared().runUntil([&] { return calls.load() == 1; }, std::chrono::seconds(30)));
    EXPECT_EQ(seenName, "Kitchen");
    ASSERT_EQ(runtime->pendingPairing().size(), 1u);

    const std::string id = data["requestId"];
    runtime->approvePairing(id);
    Json first = body(request("GET", "/api/pairing/wait?requestId=" + id))["data"];
    EXPECT_EQ(first["status"], "approved");
    ASSERT_TRUE(first.contains("deviceToken"));
    Json second = body(request("GET", "/api/pairing/wait?requestId=" + id))["data"];
    EXPECT_EQ(second["deviceId"], first["deviceId"]);
    EXPECT_FALSE(second.contains("deviceToken"));
    EXPECT_TRUE(runtime->pendingPairing().empty());
}

TEST_F(PairingFlow, MissingNameAndKindBecomeTabletAndUnknown) {
    startRuntime();
    const PairingOffer offer = runtime->beginPairing();
    Json data = body(requestPairing(offer.code))["data"];
    EXPECT_EQ(data["deviceName"], "Tablet");
    ASSERT_EQ(runtime->pendingPairing().size(), 1u);
    EXPECT_EQ(runtime->pendingPairing()[0].deviceKind, "unknown");
}

TEST_F(PairingFlow, WrongAndMissingCodesAnswerThePairingErrors) {
    startRuntime();
    HTTPReply none = requestPairing("123456");
    EXPECT_EQ(none.status, 422);
    EXPECT_EQ(body(none)["error"]["message"], "Pairing code expired. Ask the Mac to show a new code.");
    const PairingOffer offer = runtime->beginPairing();
    const std::string wrong = offer.code == "000000" ? "111111" : "000000";
    EXPECT_EQ(body(requestPairing(wrong))["error"]["message"], "That pairing code is incorrect.");
}

TEST_F(PairingFlow, NinthRequestWithinTheWindowIsRefusedEvenWithTheRightCode) {
    startRuntime();
    const PairingOffer offer = runtime->beginPairing();
    for (int i = 0; i < 8; ++i) {
        // Accepted attempts count even when they then fail.
        EXPECT_NE(requestPairing(i % 2 == 0 ? "x" : offer.code).status, 0);
    }
    HTTPReply ninth = requestPairing(offer.code);
    EXPECT_EQ(ninth.status, 422);
    EXPECT_EQ(
        ninth.body,
        R"({"error":{"code":"invalid_state","message":"Too many pairing attempts. Wait a moment and try again."},"ok":false})");
}

TEST_F(PairingFlow, AutoApproveAnswersWithTheTokenAndSkipsTheCallback) {
    RuntimeOptions options = optionsFor(data.path());
    options.autoApprovePairing = true;
    startRuntime(options);
    std::atomic<int> calls{0};
    runtime->setOnPairingRequest([&](const PairingRequest&) { ++calls; });
    const PairingOffer offer = runtime->beginPairing();
    Json data = body(requestPairing(offer.code))["data"];
    EXPECT_EQ(data["status"], "approved");
    EXPECT_TRUE(data.contains("deviceToken"));
    dispatch::MainQueue::shared().drain();
    EXPECT_EQ(calls.load(), 0);
}

TEST_F(PairingFlow, SessionDevicesAndIdentityFile) {
    startRuntime();
    const PairedTablet paired = pair("Study");
    Json devices = body(authed("GET", "/api/devices"))["data"];
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["id"], paired.deviceId);
    EXPECT_EQ(devices[0]["name"], "Study");
    EXPECT_EQ(devices[0]["connected"], false);

    Json identity = readFile(data.path() / "identity.json");
    EXPECT_EQ(identity["serverId"], body(request("GET", "/api/health"))["data"]["serverId"]);
    ASSERT_EQ(identity["devices"].size(), 1u);
    EXPECT_EQ(identity["devices"][0]["tokenHash"], Token::sha256(paired.deviceToken));
    EXPECT_FALSE(identity["devices"][0].contains("connected"));
}

TEST_F(PairingFlow, IdentityKeepsServerIdAndDevicesAcrossRestart) {
    startRuntime();
    const PairedTablet paired = pair();
    const std::string serverId = body(request("GET", "/api/health"))["data"]["serverId"];
    runtime->stop();
    runtime.reset();

    startRuntime();
    EXPECT_EQ(body(request("GET", "/api/health"))["data"]["serverId"], serverId);
    // The device token still opens a session after the restart.
    HTTPReply session = request("POST", "/api/session",
                                JSON::text(Json{{"deviceId", paired.deviceId}, {"deviceToken", paired.deviceToken}}));
    ASSERT_EQ(session.status, 200) << session.body;
    Json answer = body(session)["data"];
    EXPECT_EQ(answer["serverId"], serverId);
    EXPECT_EQ(answer["deviceId"], paired.deviceId);
    EXPECT_EQ(answer["expiresAt"].get<std::string>().back(), 'Z');
}

TEST_F(PairingFlow, IdentityFileWithoutServerIdGivesANewIdentity) {
    {
        std::ofstream out(data.path() / "identity.json");
        out << R"({"devices":[]})";
    }
    startRuntime();
    Json health = body(request("GET", "/api/health"))["data"];
    EXPECT_EQ(health["serverId"].get<std::string>().size(), 36u);
    EXPECT_TRUE(runtime->devices().empty());
}

TEST_F(PairingFlow, RevokedDeviceLosesItsSessionsAndRenameChangesNothingWithoutName) {
    startRuntime();
    const PairedTablet paired = pair();
    HTTPReply rename = authed("PATCH", "/api/devices/" + paired.deviceId, R"({"name":42})");
    EXPECT_EQ(body(rename)["data"], Json({{"id", paired.deviceId}}));
    EXPECT_EQ(runtime->devices()[0].name, "Tab");
    authed("PATCH", "/api/devices/" + paired.deviceId, R"({"name":"Den"})");
    EXPECT_EQ(runtime->devices()[0].name, "Den");

    HTTPReply revoked = authed("DELETE", "/api/devices/" + paired.deviceId);
    EXPECT_EQ(body(revoked)["data"], Json({{"id", paired.deviceId}, {"revoked", true}}));
    EXPECT_EQ(authed("GET", "/api/state").status, 401);
    HTTPReply again = request("POST", "/api/session",
                              JSON::text(Json{{"deviceId", paired.deviceId}, {"deviceToken", paired.deviceToken}}));
    EXPECT_EQ(again.status, 403);
    EXPECT_EQ(readFile(data.path() / "identity.json")["devices"][0]["revoked"], true);
}

TEST_F(PairingFlow, ApproveAndDenyFromAPairedTablet) {
    startRuntime();
    pair();
    const PairingOffer offer = runtime->beginPairing();
    const std::string id = body(requestPairing(offer.code))["data"]["requestId"];
    EXPECT_EQ(body(authed("POST", "/api/pairing/deny", JSON::text(Json{{"id", id}})))["data"],
              Json({{"id", id}, {"status", "denied"}}));
    EXPECT_EQ(body(authed("POST", "/api/pairing/approve", JSON::text(Json{{"id", id}})))["data"],
              Json({{"id", id}, {"status", "approved"}}));
    EXPECT_EQ(body(request("GET", "/api/pairing/wait?requestId=" + id))["data"]["status"], "denied");
}

TEST_F(PairingFlow, ForgetAllAndRotate) {
    startRuntime();
    pair();
    const std::string before = body(request("GET", "/api/health"))["data"]["serverId"];
    runtime->rotatePairingIdentity();
    const std::string after = body(request("GET", "/api/health"))["data"]["serverId"];
    EXPECT_NE(before, after);
    EXPECT_TRUE(runtime->devices().empty());
    EXPECT_EQ(authed("GET", "/api/state").status, 401);
    Json identity = readFile(data.path() / "identity.json");
    EXPECT_EQ(identity["serverId"], after);
    EXPECT_TRUE(identity["devices"].empty());
}

TEST_F(PairingFlow, PairingOfferCarriesTheUrlAndAQRImage) {
    startRuntime();
    const PairingOffer offer = runtime->beginPairing();
    const std::string serverId = body(request("GET", "/api/health"))["data"]["serverId"];
    EXPECT_NE(offer.url.find("#/pair?code=" + offer.code + "&sid=" + serverId), std::string::npos) << offer.url;
    EXPECT_EQ(offer.url.rfind("http://", 0), 0u);
    ASSERT_GT(offer.qrPNG.size(), 8u);
    EXPECT_EQ(offer.qrPNG.substr(0, 4), "\x89PNG");
}

// The health answer is written straight to text: it must be the canonical
// text of its values, escapes included, as a tree would have written it.
TEST_F(PairingFlow, HealthIsTheCanonicalTextOfItsValues) {
    RuntimeOptions options = optionsFor(data.path());
    options.deviceName = "Lu\xC3\xADsa's \"Desk\" / 2\tb";
    startRuntime(options);
    runtime->beginPairing();
    const HTTPReply health = request("GET", "/api/health");
    ASSERT_EQ(health.status, 200);
    const std::optional<Json> parsed = JSON::parse(health.body);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(JSON::text(*parsed), health.body);
    const Json& data = (*parsed)["data"];
    EXPECT_EQ(data["name"], options.deviceName);
    EXPECT_EQ(data["pairing"], true);
    EXPECT_EQ(data["port"], runtime->port());
    EXPECT_EQ(data["serverId"].get<std::string>().size(), 36u);
}

}  // namespace
}  // namespace veltrane::deck::testing
