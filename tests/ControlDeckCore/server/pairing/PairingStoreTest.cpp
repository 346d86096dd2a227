#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/server/pairing/PairingStore.h"
#include "ControlDeckCore/server/pairing/Token.h"

using namespace veltrane::deck;
using std::chrono::seconds;

namespace {

const Date kStart = *iso8601::parse("2025-01-31T12:00:00Z");
const std::regex kUUID("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");

// A store on a clock the test moves by hand.
struct Fixture {
    Date now = kStart;
    PairingStore store;
    explicit Fixture(bool autoApprove = false) : store("SERVER", autoApprove, [this] { return now; }) {}

    // A paired device (approved request, token collected) and its plain token.
    PairingStore::IssuedDevice pair(const std::string& name = "Tab") {
        auto offer = store.beginPairing();
        auto request = store.requestPairing(offer.code, name, "tablet");
        auto approved = store.approve(request.id);
        return {*approved.deviceId, *store.takeDeviceToken(request.id)};
    }
};

// Runs `action`, expecting it to throw exactly `expected`.
void expectError(const std::function<void()>& action, const DeckError& expected, const std::string& what) {
    try {
        action();
        ADD_FAILURE() << what << ": no error, expected " << expected.code();
    } catch (const DeckError& e) {
        EXPECT_EQ(e, expected) << what << ": got " << e.code() << " " << e.message();
    }
}

void expectCodeExpired(PairingStore& store, const std::string& code, const std::string& what) {
    expectError([&] { store.requestPairing(code, "Tab", "tablet"); },
                DeckError::invalidState(PairingStore::kCodeExpiredMessage), what);
}

std::string lastDigitChanged(std::string code) {
    code.back() = static_cast<char>('0' + (code.back() - '0' + 1) % 10);
    return code;
}

// Each ASCII digit as the same digit of another script (3-byte UTF-8 forms).
std::string inScript(const std::string& code, char32_t zero) {
    std::string out;
    for (char c : code) {
        char32_t cp = zero + static_cast<char32_t>(c - '0');
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

}  // namespace

TEST(PairingStore, BeginPairingOffersACodeForFiveMinutesAndDropsRequests) {
    Fixture f;
    auto first = f.store.beginPairing();
    f.store.requestPairing(first.code, "Tab", "tablet");
    ASSERT_EQ(f.store.requests().size(), 1u);

    auto offer = f.store.beginPairing();
    EXPECT_EQ(offer.code.size(), 6u);
    EXPECT_EQ(offer.expires, kStart + seconds(300));
    EXPECT_EQ(f.store.pairingCode(), offer.code);
    EXPECT_EQ(f.store.pairingExpires(), offer.expires);
    EXPECT_TRUE(f.store.requests().empty());
}

TEST(PairingStore, RequestPairingChecksExpiryBeforeTheDigits) {
    using Transform = std::function<std::string(const std::string&)>;
    const Transform same = [](const std::string& c) { return c; };
    const std::string expired = PairingStore::kCodeExpiredMessage;
    const std::string incorrect = PairingStore::kCodeIncorrectMessage;
    struct Case {
        const char* what;
        int after;  // seconds after the code was offered
        Transform sent;
        std::string error;  // empty: accepted
    } cases[] = {
        {"the code itself", 0, same, ""},
        {"just before expiry", 299, same, ""},
        {"at expiry", 300, same, expired},
        {"wrong code after expiry says expired", 301, lastDigitChanged, expired},
        {"wrong last digit", 10, lastDigitChanged, incorrect},
        {"spaces and a dash between digits",
         0, [](const std::string& c) { return " " + c.substr(0, 3) + " - " + c.substr(3) + " "; }, ""},
        {"letters around the digits", 0, [](const std::string& c) { return "code:" + c + "!"; }, ""},
        {"nothing sent", 0, [](const std::string&) { return std::string(); }, incorrect},
        {"one digit short", 0, [](const std::string& c) { return c.substr(1); }, incorrect},
        {"an extra digit", 0, [](const std::string& c) { return c + "0"; }, incorrect},
        {"Arabic-Indic digits are numbers but not the code",
         0, [](const std::string& c) { return inScript(c, U'\u0660'); }, incorrect},
        {"full-width digits", 0, [](const std::string& c) { return inScript(c, U'\uFF10'); }, incorrect},
        {"a trailing fraction is a number", 0, [](const std::string& c) { return c + "\u00BD"; }, incorrect},
        {"a digit with a combining mark", 0, [](const std::string& c) { return c + "\u0301"; }, incorrect},
    };
    for (const auto& c : cases) {
        Fixture f;
        auto offer = f.store.beginPairing();
        f.now = kStart + seconds(c.after);
        const std::string sent = c.sent(offer.code);
        if (c.error.empty()) {
            auto request = f.store.requestPairing(sent, "Tab", "tablet");
            EXPECT_EQ(request.code, offer.code) << c.what;
            EXPECT_EQ(request.status, "pending") << c.what;
        } else {
            expectError([&] { f.store.requestPairing(sent, "Tab", "tablet"); }, DeckError::invalidState(c.error),
                        c.what);
            EXPECT_TRUE(f.store.requests().empty()) << c.what << ": a refused request is not stored";
        }
    }
}

TEST(PairingStore, RequestWithoutAnOfferedCodeIsExpired) {
    Fixture f;
    expectCodeExpired(f.store, "000000", "no code offered");
}

TEST(PairingStore, NewRequestRecordsTheDeviceWithDefaultsForEmptyValues) {
    struct Case {
        std::string name, kind, storedName, storedKind;
    } cases[] = {
        {"Anna's tablet", "tablet", "Anna's tablet", "tablet"},
        {"", "", "Tablet", "unknown"},
        {" ", " ", " ", " "},  // emptiness only, no trimming
    };
    for (const auto& c : cases) {
        Fixture f;
        auto offer = f.store.beginPairing();
        auto request = f.store.requestPairing(offer.code, c.name, c.kind);
        EXPECT_TRUE(std::regex_match(request.id, kUUID)) << request.id;
        EXPECT_EQ(request.deviceName, c.storedName);
        EXPECT_EQ(request.name(), c.storedName);
        EXPECT_EQ(request.deviceKind, c.storedKind);
        EXPECT_EQ(request.kind(), c.storedKind);
        EXPECT_EQ(request.createdAt, kStart);
        EXPECT_FALSE(request.deviceId);
        EXPECT_FALSE(request.deviceToken);
        EXPECT_EQ(f.store.requests().at(request.id), request);
        EXPECT_TRUE(f.store.devices().empty());
        EXPECT_EQ(f.store.pairingCode(), offer.code) << "a pending request keeps the code";
    }
}

TEST(PairingStore, RepeatWhilePendingReturnsTheSameRequest) {
    Fixture f;
    auto offer = f.store.beginPairing();
    auto first = f.store.requestPairing(offer.code, "First", "tablet");
    f.now += seconds(5);
    auto again = f.store.requestPairing(offer.code, "Other name", "phone");
    EXPECT_EQ(again, first) << "same id, name and kind not updated";
    EXPECT_EQ(f.store.requests().size(), 1u);

    f.store.deny(first.id);
    auto fresh = f.store.requestPairing(offer.code, "Other name", "phone");
    EXPECT_NE(fresh.id, first.id) << "after a denial the code gives a new request";
    EXPECT_EQ(fresh.deviceName, "Other name");
}

TEST(PairingStore, ApproveIssuesADeviceAndClearsTheCode) {
    Fixture f;
    auto offer = f.store.beginPairing();
    auto request = f.store.requestPairing(offer.code, "Tab", "tablet");
    f.now += seconds(20);
    auto approved = f.store.approve(request.id);

    EXPECT_EQ(approved.status, "approved");
    ASSERT_TRUE(approved.deviceId && approved.deviceToken);
    EXPECT_EQ(approved.deviceToken->size(), 43u);
    EXPECT_EQ(f.store.requests().at(request.id), approved);
    EXPECT_FALSE(f.store.pairingCode());
    EXPECT_FALSE(f.store.pairingExpires());

    const auto& device = f.store.devices().at(*approved.deviceId);
    EXPECT_EQ(device.id, *approved.deviceId);
    EXPECT_TRUE(std::regex_match(device.id, kUUID));
    EXPECT_EQ(device.name, "Tab");
    EXPECT_EQ(device.kind, "tablet");
    EXPECT_EQ(device.tokenHash, Token::sha256(*approved.deviceToken)) << "only the hash is kept";
    EXPECT_EQ(device.createdAt, kStart + seconds(20));
    EXPECT_EQ(device.lastSeen, kStart + seconds(20));
    EXPECT_FALSE(device.revoked);

    expectCodeExpired(f.store, offer.code, "code used up by the approval");
}

TEST(PairingStore, ApproveAndDenyOnRequestsThatAreNotPending) {
    Fixture f;
    auto offer = f.store.beginPairing();
    auto request = f.store.requestPairing(offer.code, "Tab", "tablet");
    f.store.deny(request.id);
    auto denied = f.store.requests().at(request.id);
    EXPECT_EQ(denied.status, "denied");
    EXPECT_EQ(f.store.pairingCode(), offer.code) << "a denial keeps the code valid";
    EXPECT_EQ(f.store.approve(request.id), denied) << "approve returns a denied request unchanged";
    EXPECT_TRUE(f.store.devices().empty());

    auto second = f.store.requestPairing(offer.code, "Tab", "tablet");
    auto approved = f.store.approve(second.id);
    EXPECT_EQ(f.store.approve(second.id), approved) << "a second approval changes nothing";
    EXPECT_EQ(f.store.devices().size(), 1u);

    f.store.deny(second.id);
    const auto& after = f.store.requests().at(second.id);
    EXPECT_EQ(after.status, "denied");
    EXPECT_EQ(after.deviceId, approved.deviceId) << "the device id stays";
    EXPECT_FALSE(after.deviceToken) << "the uncollected token is dropped";
    EXPECT_EQ(f.store.devices().count(*approved.deviceId), 1u) << "the device stays paired";

    expectError([&] { f.store.approve("nope"); }, DeckError::notFound(), "approve unknown");
    expectError([&] { f.store.deny("nope"); }, DeckError::notFound(), "deny unknown");
}

TEST(PairingStore, AutoApproveAnswersApprovedAtOnce) {
    Fixture f(true);
    auto offer = f.store.beginPairing();
    auto request = f.store.requestPairing(offer.code, "Tab", "tablet");
    EXPECT_EQ(request.status, "approved");
    ASSERT_TRUE(request.deviceId && request.deviceToken);
    EXPECT_EQ(f.store.devices().at(*request.deviceId).tokenHash, Token::sha256(*request.deviceToken));
    EXPECT_FALSE(f.store.pairingCode());
    expectCodeExpired(f.store, offer.code, "code used up by auto-approval");
}

TEST(PairingStore, DeviceTokenIsHandedOutExactlyOnce) {
    Fixture f;
    auto offer = f.store.beginPairing();
    auto pending = f.store.requestPairing(offer.code, "Tab", "tablet");
    EXPECT_FALSE(f.store.takeDeviceToken(pending.id)) << "no token before approval";
    auto approved = f.store.approve(pending.id);

    EXPECT_EQ(f.store.takeDeviceToken(pending.id), approved.deviceToken);
    EXPECT_FALSE(f.store.takeDeviceToken(pending.id));
    EXPECT_FALSE(f.store.requests().at(pending.id).deviceToken);
    EXPECT_FALSE(f.store.takeDeviceToken("unknown"));
}

TEST(PairingStore, CreateSessionChecksDeviceRevocationAndToken) {
    Fixture f;
    auto good = f.pair("Good");
    auto gone = f.pair("Gone");
    f.store.revoke(gone.id);
    struct Case {
        const char* what;
        std::string deviceId, token;
        DeckError error;
    } cases[] = {
        {"unknown device", "NOPE", good.token, DeckError::unauthorized()},
        {"wrong token", good.id, good.token + "x", DeckError::unauthorized()},
        {"another device's token", good.id, gone.token, DeckError::unauthorized()},
        {"empty token", good.id, "", DeckError::unauthorized()},
        {"revoked device with its token", gone.id, gone.token, DeckError::revoked()},
        {"revoked device with a wrong token", gone.id, "wrong", DeckError::revoked()},
    };
    for (const auto& c : cases) {
        expectError([&] { f.store.createSession(c.deviceId, c.token); }, c.error, c.what);
        EXPECT_TRUE(f.store.sessions().empty()) << c.what;
    }
}

TEST(PairingStore, SessionsLastThirtyDays) {
    Fixture f;
    auto device = f.pair();
    f.now += seconds(60);
    auto session = f.store.createSession(device.id, device.token);
    EXPECT_EQ(session.session.size(), 43u);
    EXPECT_EQ(session.expiresAt, kStart + seconds(60) + seconds(2'592'000));
    EXPECT_EQ(f.store.devices().at(device.id).lastSeen, f.now);
    ASSERT_EQ(f.store.sessions().size(), 1u);
    const Session stored = f.store.sessions().begin()->second;
    EXPECT_EQ(stored.tokenHash, Token::sha256(session.session)) << "only the hash is kept";
    EXPECT_EQ(stored.deviceId, device.id);
    EXPECT_EQ(stored.createdAt, f.now);

    struct Case {
        const char* what;
        Date at;
        bool valid;
    } cases[] = {
        {"a day later", f.now + seconds(86'400), true},
        {"at the expiry instant", session.expiresAt, true},
        {"a second after expiry", session.expiresAt + seconds(1), false},
    };
    for (const auto& c : cases) {
        f.now = c.at;
        if (c.valid) {
            auto auth = f.store.authenticate(session.session);
            EXPECT_EQ(auth, (AuthContext{device.id, stored.id, "Tab"})) << c.what;
            EXPECT_EQ(f.store.devices().at(device.id).lastSeen, c.at) << c.what;
        } else {
            expectError([&] { f.store.authenticate(session.session); }, DeckError::unauthorized(), c.what);
            EXPECT_TRUE(f.store.sessions().empty()) << "the expired session is removed";
            expectError([&] { f.store.authenticate(session.session); }, DeckError::unauthorized(), "then unknown");
        }
    }
}

TEST(PairingStore, AuthenticateRefusesMissingAndUnknownBearers) {
    Fixture f;
    auto device = f.pair();
    auto session = f.store.createSession(device.id, device.token);
    const std::optional<std::string> bearers[] = {std::nullopt, std::string(), session.session + "x",
                                                  device.token};
    for (const auto& bearer : bearers)
        expectError([&] { f.store.authenticate(bearer); }, DeckError::unauthorized(), bearer.value_or("(none)"));
    EXPECT_EQ(f.store.sessions().size(), 1u);
}

TEST(PairingStore, CreatingASessionPurgesExpiredOnes) {
    Fixture f;
    auto a = f.pair("A");
    auto b = f.pair("B");
    auto old = f.store.createSession(a.id, a.token);
    f.now += seconds(2'592'000 - 10);
    auto recent = f.store.createSession(b.id, b.token);
    EXPECT_EQ(f.store.sessions().size(), 2u) << "a session at its last seconds stays";

    f.now += seconds(11);  // `old` has expired, never presented again
    auto fresh = f.store.createSession(b.id, b.token);
    EXPECT_EQ(f.store.sessions().size(), 2u);
    for (const auto& [id, s] : f.store.sessions()) EXPECT_NE(s.tokenHash, Token::sha256(old.session));
    EXPECT_EQ(f.store.authenticate(recent.session).deviceId, b.id) << "a device may hold several sessions";
    EXPECT_EQ(f.store.authenticate(fresh.session).deviceId, b.id);
}

TEST(PairingStore, RevokedDeviceLosesSessionsAndCannotOpenNewOnes) {
    Fixture f;
    auto device = f.pair();
    auto other = f.pair("Other");
    auto s1 = f.store.createSession(device.id, device.token);
    auto s2 = f.store.createSession(device.id, device.token);
    auto kept = f.store.createSession(other.id, other.token);

    f.store.revoke(device.id);
    EXPECT_TRUE(f.store.devices().at(device.id).revoked) << "a revoked device stays listed";
    for (const auto& s : {s1, s2})
        expectError([&] { f.store.authenticate(s.session); }, DeckError::unauthorized(), "session of revoked device");
    expectError([&] { f.store.createSession(device.id, device.token); }, DeckError::revoked(), "new session");
    EXPECT_EQ(f.store.authenticate(kept.session).deviceId, other.id);

    f.store.revoke("unknown");  // no error
    EXPECT_EQ(f.store.devices().size(), 2u);
}

TEST(PairingStore, SessionOfADeviceMarkedRevokedAnswersRevoked) {
    // A device list reloaded with the device revoked, its session still held.
    Fixture f;
    auto device = f.pair();
    auto session = f.store.createSession(device.id, device.token);
    auto copy = f.store.devices().at(device.id);
    copy.revoked = true;
    f.store.insertDevice(copy);
    expectError([&] { f.store.authenticate(session.session); }, DeckError::revoked(), "revoked flag");
}

TEST(PairingStore, RenameKeepsTheNameAsGiven) {
    Fixture f;
    auto device = f.pair();
    f.store.rename(device.id, "  Kitchen tablet \u2014 \u53A8\u623F ");
    EXPECT_EQ(f.store.devices().at(device.id).name, "  Kitchen tablet \u2014 \u53A8\u623F ");
    f.store.rename(device.id, "");
    EXPECT_EQ(f.store.devices().at(device.id).name, "");
    expectError([&] { f.store.rename("nope", "x"); }, DeckError::notFound(), "rename unknown");
}

TEST(PairingStore, ForgetAllDropsEverythingAndTheCode) {
    Fixture f;
    auto device = f.pair();
    auto session = f.store.createSession(device.id, device.token);
    auto offer = f.store.beginPairing();
    f.store.requestPairing(offer.code, "Tab", "tablet");

    f.store.forgetAll();
    EXPECT_TRUE(f.store.devices().empty());
    EXPECT_TRUE(f.store.sessions().empty());
    EXPECT_TRUE(f.store.requests().empty());
    EXPECT_FALSE(f.store.pairingCode());
    expectError([&] { f.store.authenticate(session.session); }, DeckError::unauthorized(), "old session");
    expectCodeExpired(f.store, offer.code, "old code");
}

TEST(PairingStore, PublicDevicesNewestFirstWithConnectionFlags) {
    Fixture f;
    auto older = f.pair("Older");
    f.now += seconds(10);
    auto newer = f.pair("Newer");
    f.now += seconds(10);
    auto revoked = f.pair("Revoked");
    f.store.revoke(revoked.id);
    f.now += seconds(10);
    f.store.createSession(older.id, older.token);  // seen last: first in the list

    auto list = f.store.publicDevices({older.id, revoked.id});
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], Json({{"id", older.id},
                             {"name", "Older"},
                             {"kind", "tablet"},
                             {"revoked", false},
                             {"connected", true},
                             {"lastSeen", "2025-01-31T12:00:30Z"},
                             {"createdAt", "2025-01-31T12:00:00Z"}}));
    EXPECT_EQ(list[1]["id"], revoked.id);
    EXPECT_EQ(list[1]["revoked"], true);
    EXPECT_EQ(list[1]["connected"], false) << "a revoked device is never shown connected";
    EXPECT_EQ(list[2]["id"], newer.id);
    EXPECT_EQ(list[2]["connected"], false);
    EXPECT_EQ(f.store.publicDevices({}).size(), 3u);
}

TEST(PairingStore, InsertedDevicesAreStoredUnderTheirOwnIds) {
    Fixture f;
    PairedDevice device{"ABC", "Loaded", "tablet", Token::sha256("t"), kStart, kStart, false, false};
    f.store.insertDevice(device);
    EXPECT_EQ(f.store.devices().at("ABC"), device);
    EXPECT_EQ(f.store.allDevices(), std::vector<PairedDevice>{device});
    EXPECT_EQ(f.store.createSession("ABC", "t").expiresAt, kStart + seconds(2'592'000));
}
