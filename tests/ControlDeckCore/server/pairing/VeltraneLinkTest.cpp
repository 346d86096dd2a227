#include <gtest/gtest.h>

#include <sys/stat.h>

#include <deque>
#include <fstream>
#include <thread>

#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/server/pairing/Token.h"
#include "ControlDeckCore/server/pairing/VeltraneLink.h"
#include "tests/support/TempDirectory.h"

using namespace veltrane::deck;
namespace fs = std::filesystem;
using veltrane::testing::fileMode;
using veltrane::testing::readFile;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

const Date kStart = *iso8601::parse("2025-01-31T12:00:00Z");
const double kStartSeconds = secondsSince1970(kStart);

PairedDevice device(const std::string& id, bool revoked = false) {
    return PairedDevice{id, "Tab " + id, "tablet", Token::sha256(id), kStart, kStart, revoked, false};
}

// A link in a fresh data directory, on a clock the test moves by hand.
struct Fixture {
    veltrane::testing::TempDirectory data;
    Date now = kStart;
    VeltraneLink link{data.path(), [this] { return now; }};

    // The file as the sender reads it: keys looked up by name.
    Json file() const {
        auto json = JSON::parse(readFile(data.path() / "Connection" / "stream-grants.json"));
        EXPECT_TRUE(json) << "the file must hold JSON";
        return json.value_or(Json());
    }
    std::vector<std::string> ticketDevices() const {
        std::vector<std::string> ids;
        const Json json = file();
        for (const auto& t : json["tickets"]) ids.push_back(t["deviceId"].get<std::string>());
        return ids;
    }
};

}  // namespace

TEST(VeltraneLink, StartsNotReadyOnPort5901WithAPrivateFolder) {
    Fixture f;
    EXPECT_EQ(f.link.file(), f.data.path() / "Connection" / "stream-grants.json");
    EXPECT_EQ(fileMode(f.data.path() / "Connection"), 0700u);
    EXPECT_FALSE(fs::exists(f.link.file())) << "nothing is written before the first persist";
    EXPECT_EQ(f.link.port(), 5901);
    EXPECT_FALSE(f.link.ready());
    EXPECT_FALSE(f.link.error());

    f.link.setState(6000, true, "Screen Recording is off");
    EXPECT_EQ(f.link.port(), 6000);
    EXPECT_TRUE(f.link.ready());
    EXPECT_EQ(f.link.error(), "Screen Recording is off");
}

TEST(VeltraneLink, FileListsNonRevokedDevicesAndTicketsOwnerOnly) {
    Fixture f;
    // The folder made wide by someone else is restricted again at the write.
    ::chmod((f.data.path() / "Connection").c_str(), 0755);
    const std::vector<PairedDevice> devices = {device("B"), device("R", true), device("A")};
    auto code = f.link.issue("A", "192.168.1.40", devices);

    EXPECT_EQ(fileMode(f.data.path() / "Connection"), 0700u);
    EXPECT_EQ(fileMode(f.link.file()), 0600u);
    Json json = f.file();
    EXPECT_EQ(json["devices"], Json({"B", "A"})) << "given order, revoked left out";
    ASSERT_EQ(json["tickets"].size(), 1u);
    const Json& ticket = json["tickets"][0];
    EXPECT_EQ(ticket["hash"], Token::sha256(code));
    EXPECT_EQ(ticket["deviceId"], "A");
    EXPECT_EQ(ticket["remoteHost"], "192.168.1.40");
    ASSERT_TRUE(ticket["expires"].is_number());
    EXPECT_DOUBLE_EQ(ticket["expires"].get<double>(), kStartSeconds + 45);
    EXPECT_EQ(readFile(f.link.file()).find(code), std::string::npos) << "the plain code is never written";
    EXPECT_EQ(readFile(f.link.file()).find('\n'), std::string::npos) << "compact";

    auto grants = VeltraneLink::Grants::parse(readFile(f.link.file()));
    ASSERT_TRUE(grants);
    EXPECT_EQ(grants->tickets, f.link.tickets());
}

TEST(VeltraneLink, IssueGivesASixDigitCodeOnlyToPairedDevices) {
    Fixture f;
    const std::vector<PairedDevice> devices = {device("A"), device("R", true)};
    auto code = f.link.issue("A", "h", devices);
    EXPECT_EQ(code.size(), 6u);
    EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos);

    for (const char* id : {"R", "UNKNOWN"}) {
        try {
            f.link.issue(id, "h", devices);
            ADD_FAILURE() << id << " got a ticket";
        } catch (const DeckError& e) {
            EXPECT_EQ(e, DeckError::revoked()) << id;
        }
    }
    EXPECT_EQ(f.link.tickets().size(), 1u);
}

TEST(VeltraneLink, OneTicketPerDeviceTheNewestReplacing) {
    Fixture f;
    const std::vector<PairedDevice> devices = {device("A"), device("B")};
    auto first = f.link.issue("A", "h1", devices);
    f.now += seconds(5);
    f.link.issue("B", "h2", devices);
    f.now += seconds(5);
    auto second = f.link.issue("A", "h3", devices);

    Json tickets = f.file()["tickets"];
    ASSERT_EQ(tickets.size(), 2u);
    EXPECT_EQ(f.ticketDevices(), (std::vector<std::string>{"B", "A"})) << "issue order";
    EXPECT_EQ(tickets[1]["hash"], Token::sha256(second));
    EXPECT_EQ(tickets[1]["remoteHost"], "h3");
    EXPECT_DOUBLE_EQ(tickets[1]["expires"].get<double>(), kStartSeconds + 10 + 45);
    if (first != second) {  // one draw in a million repeats the code
        EXPECT_EQ(readFile(f.link.file()).find(Token::sha256(first)), std::string::npos);
    }
}

TEST(VeltraneLink, TicketExpiresFortyFiveSecondsAfterIssue) {
    struct Case {
        milliseconds later;
        bool live;
    } cases[] = {
        {milliseconds(0), true},
        {milliseconds(44'999), true},
        {milliseconds(45'000), false},  // gone at the instant it expires
        {milliseconds(90'000), false},
    };
    for (const auto& c : cases) {
        Fixture f;
        const std::vector<PairedDevice> devices = {device("A")};
        f.link.issue("A", "h", devices);
        f.now += c.later;
        f.link.persist(devices);
        EXPECT_EQ(f.file()["tickets"].size(), c.live ? 1u : 0u) << c.later.count() << " ms";
        EXPECT_EQ(f.link.tickets().size(), c.live ? 1u : 0u);
    }
}

TEST(VeltraneLink, IssuePrunesExpiredTicketsOfOtherDevices) {
    Fixture f;
    const std::vector<PairedDevice> devices = {device("A"), device("B")};
    f.link.issue("A", "h", devices);
    f.now += seconds(46);
    f.link.issue("B", "h", devices);
    EXPECT_EQ(f.ticketDevices(), std::vector<std::string>{"B"});
}

TEST(VeltraneLink, RevokedOrForgottenDevicesLoseTicketsAtTheNextWrite) {
    Fixture f;
    f.link.issue("A", "h", {device("A"), device("B")});
    f.link.issue("B", "h", {device("A"), device("B")});

    f.link.persist({device("A", true), device("B")});
    EXPECT_EQ(f.file()["devices"], Json({"B"}));
    EXPECT_EQ(f.ticketDevices(), std::vector<std::string>{"B"});

    f.link.persist({});  // all forgotten
    EXPECT_EQ(f.file()["devices"], Json::array());
    EXPECT_EQ(f.file()["tickets"], Json::array());
}

TEST(VeltraneLink, LiveTicketsNeverShareAHash) {
    veltrane::testing::TempDirectory data;
    std::deque<std::string> draws = {"111111", "111111", "111111", "222222"};
    VeltraneLink link(data.path(), systemNow, [&draws] {
        auto code = draws.front();
        draws.pop_front();
        return code;
    });
    const std::vector<PairedDevice> devices = {device("A"), device("B")};
    EXPECT_EQ(link.issue("A", "h", devices), "111111");
    EXPECT_EQ(link.issue("B", "h", devices), "222222") << "a code already live is drawn again";
    EXPECT_TRUE(draws.empty());
    // The device's own earlier ticket is dropped first, so its code may recur.
    draws = {"222222"};
    EXPECT_EQ(link.issue("B", "h", devices), "222222");
}

TEST(VeltraneLink, WriteFailureReachesTheCallerAndTheTicketStaysInMemory) {
    veltrane::testing::TempDirectory temp;
    // A regular file where the data directory should be: nothing can be created.
    std::ofstream(temp.path() / "data") << "x";
    VeltraneLink link(temp.path() / "data");  // the failed folder creation is not an error here

    EXPECT_THROW(link.persist({device("A")}), std::system_error);
    EXPECT_THROW(link.issue("A", "h", {device("A")}), std::system_error);
    EXPECT_EQ(link.tickets().size(), 1u);
    EXPECT_EQ(readFile(temp.path() / "data"), "x");
}

TEST(VeltraneLink, GrantsParseRequiresEveryKeyWithItsType) {
    const std::string ticket = R"({"hash":"h","deviceId":"A","remoteHost":"r","expires":1.5})";
    auto good = VeltraneLink::Grants::parse(R"({"devices":["A"],"tickets":[)" + ticket + "]}");
    ASSERT_TRUE(good);
    EXPECT_EQ(*good, (VeltraneLink::Grants{{"A"}, {{"h", "A", "r", 1.5}}}));
    EXPECT_EQ(VeltraneLink::Grants::parse(good->encode()), good);

    const std::string bad[] = {
        "",
        "[]",
        R"({"devices":["A"]})",
        R"({"tickets":[]})",
        R"({"devices":"A","tickets":[]})",
        R"({"devices":[1],"tickets":[]})",
        R"({"devices":[],"tickets":[{"hash":"h","deviceId":"A","remoteHost":"r"}]})",
        R"({"devices":[],"tickets":[{"hash":"h","deviceId":"A","remoteHost":"r","expires":"1"}]})",
        R"({"devices":[],"tickets":[{"hash":1,"deviceId":"A","remoteHost":"r","expires":1}]})",
        R"({"devices":[],"tickets":[null]})",
        R"({"devices":[],"tickets":[{"hash":"h","deviceId":"A","remoteHost":"r","expires":1e999}]})",
    };
    for (const auto& text : bad) EXPECT_FALSE(VeltraneLink::Grants::parse(text)) << text;
}

TEST(VeltraneLink, ConcurrentIssuesAndWritesKeepOneValidFile) {
    Fixture f;
    const std::vector<PairedDevice> devices = {device("A"), device("B"), device("C"), device("D")};
    std::vector<std::thread> threads;
    for (const auto& d : devices) {
        threads.emplace_back([&f, &devices, id = d.id] {
            for (int i = 0; i < 20; ++i) {
                f.link.issue(id, "h", devices);
                f.link.persist(devices);
            }
        });
    }
    for (auto& t : threads) t.join();

    auto grants = VeltraneLink::Grants::parse(readFile(f.link.file()));
    ASSERT_TRUE(grants);
    EXPECT_EQ(grants->tickets.size(), 4u) << "one live ticket per device";
    EXPECT_EQ(grants->tickets, f.link.tickets());
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(f.data.path() / "Connection")) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"stream-grants.json"}) << "no temporary file is left";
}
