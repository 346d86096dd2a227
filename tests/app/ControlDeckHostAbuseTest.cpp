// The control-deck program under abuse from loopback peers: floods of stalled
// and idle connections, a pairing-code brute force, and SIGKILL in the middle
// of data writes. Each case is bounded in count and time and stops by itself.

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ControlDeckCore/data/CustomActionDef.h"
#include "ControlDeckCore/data/DeckSettings.h"
#include "ControlDeckCore/data/FileStore.h"
#include "ControlDeckCore/data/LayoutDocument.h"
#include "ControlDeckCore/runtime/PersistedIdentity.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/server/http/HTTPServer.h"
#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/server/pairing/PairingStore.h"
#include "tests/support/Eventually.h"
#include "tests/support/HostProcess.h"
#include "tests/support/LoopbackHTTP.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/TempDirectory.h"

namespace veltrane {
namespace {

using namespace std::chrono_literals;
using deck::Json;
using deck::JSON;
using testing::bearer;
using testing::HostProcess;
using testing::HTTPReply;
using testing::httpRequest;
using testing::tryHTTPRequest;

// Guards against a host that never settles; nothing here measures speed.
constexpr auto kSettlePatience = 60s;

constexpr const char* kTooManyAttempts = "Too many pairing attempts. Wait a moment and try again.";

std::size_t descriptorsOf(pid_t pid) {
    std::size_t count = 0;
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir) return 0;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count;
}

// VmRSS of `pid` in KiB; 0 when it cannot be read.
std::size_t residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
    return 0;
}

Json bodyOf(const HTTPReply& reply) { return JSON::parse(reply.body).value_or(Json()); }
Json dataOf(const HTTPReply& reply) { return bodyOf(reply)["data"]; }
std::string errorMessageOf(const HTTPReply& reply) {
    const Json message = bodyOf(reply)["error"]["message"];
    return message.is_string() ? message.get<std::string>() : std::string();
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class ControlDeckHostAbuse : public ::testing::Test {
protected:
    void SetUp() override { port = testing::freeLoopbackPort(); }

    std::vector<std::string> arguments(bool autoApprove = false) const {
        std::vector<std::string> args = testing::hostArguments(port, data.path());
        if (autoApprove) args.push_back("--auto-approve");
        return args;
    }
    std::regex listeningLine() const { return testing::listeningLine(port); }
    // Starts a test-mode host that approves pairing by itself; its code.
    std::string startPairingHost(std::unique_ptr<HostProcess>& host) {
        host = std::make_unique<HostProcess>(CONTROL_DECK_BINARY, arguments(/*autoApprove=*/true), /*testMode=*/true);
        std::optional<std::string> line = host->waitForLine(std::regex("PAIRING_CODE [0-9]{6}"));
        if (!line) {
            ADD_FAILURE() << "no pairing code\n" << host->out() << host->err();
            return {};
        }
        return line->substr(std::string("PAIRING_CODE ").size());
    }

    testing::TempDirectory data;
    std::uint16_t port = 0;
};

// ---------------------------------------------------------------------------
// Stalled and idle connections

constexpr std::size_t kStalledHeads = 1'000;   // request head never finished
constexpr std::size_t kStalledBodies = 1'000;  // body shorter than its Content-Length
constexpr std::size_t kSilent = 500;           // plain TCP, nothing sent
constexpr std::size_t kSilentSockets = 500;    // WebSocket upgrades that never say hello
// What the host holds at most, whatever the peers do: the HTTP connection cap
// (lower when its descriptor limit is) and the unauthenticated WebSockets it
// lets wait.
constexpr std::size_t kConnectionCap = 1'024;
constexpr std::size_t kWaitingSockets = 64;
// The usual default limit, which the host cannot raise when it is also the hard one.
constexpr std::size_t kTightDescriptorLimit = 1'024;
constexpr std::uint16_t kTryAgainLater = 1013;

// Memory the flood may add to the host. Held connections are capped, each
// with a request of well under 1 KiB here, so the growth is per-connection
// bookkeeping: 64 MiB is 64 KiB for each connection the host may hold, far
// above what one needs and below what keeping a whole receive chunk for each
// of the 3,000 peers would cost (about 190 MiB). Sanitizers keep freed memory
// in quarantine (ASan, up to 256 MiB) or shadow every byte, so they get that
// much more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kResidentHeadroomKiB = (64 + 256) * 1024;
#else
constexpr std::size_t kResidentHeadroomKiB = 64 * 1024;
#endif

// Reads the WebSocket sockets together until `wanted` of them were closed
// with `code` after their upgrade, or the guard passes; how many were.
std::size_t countClosedWith(std::vector<veltrane::testing::LoopbackSocket>& sockets, std::uint16_t code, std::size_t wanted) {
    std::vector<std::string> received(sockets.size());
    std::vector<bool> done(sockets.size(), false);
    std::size_t closedWithCode = 0;
    std::size_t finished = 0;
    const auto deadline = std::chrono::steady_clock::now() + veltrane::testing::LoopbackSocket::kGuard;
    while (closedWithCode < wanted && finished < sockets.size() && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> polled;
        std::vector<std::size_t> which;
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            if (done[i]) continue;
            polled.push_back({sockets[i].fd(), POLLIN, 0});
            which.push_back(i);
        }
        if (::poll(polled.data(), polled.size(), 200) <= 0) continue;
        for (std::size_t k = 0; k < polled.size(); ++k) {
            if (polled[k].revents == 0) continue;
            const std::size_t i = which[k];
            char chunk[4096];
            const ssize_t n = ::recv(polled[k].fd, chunk, sizeof chunk, 0);
            if (n > 0) received[i].append(chunk, static_cast<std::size_t>(n));
            const std::string& bytes = received[i];
            const std::size_t head = bytes.find("\r\n\r\n");
            // A close frame from the server: 0x88, an unmasked length, the code.
            if (head != std::string::npos && bytes.size() >= head + 8) {
                const auto frame = reinterpret_cast<const unsigned char*>(bytes.data() + head + 4);
                EXPECT_EQ(bytes.rfind("HTTP/1.1 101", 0), 0u) << bytes.substr(0, head);
                if (frame[0] == 0x88 && (frame[2] << 8 | frame[3]) == code) ++closedWithCode;
                done[i] = true;
                ++finished;
            } else if (n <= 0) {
                done[i] = true;
                ++finished;
            }
        }
    }
    return closedWithCode;
}

// With the descriptor limit the host inherits from the test (raised for the
// flood), and with a hard limit as tight as the usual default.
class ControlDeckHostFlood : public ControlDeckHostAbuse,
                             public ::testing::WithParamInterface<std::optional<std::size_t>> {};

TEST_P(ControlDeckHostFlood, StalledAndIdlePeersNeitherStarveNorLeak) {
    const std::size_t peers = kStalledHeads + kStalledBodies + kSilent + kSilentSockets;
    // The host inherits the raised limit (both ends of every connection are counted).
    if (!veltrane::testing::allowDescriptors(peers + 1'024)) GTEST_SKIP() << "the hard descriptor limit is below " << peers + 1'024;

    const std::optional<std::size_t> limit = GetParam();
    const std::size_t cap = limit ? deck::HTTPServer::connectionCapacity(kConnectionCap, *limit) : kConnectionCap;
    std::unique_ptr<HostProcess> started;
    if (limit) {
        std::vector<std::string> args{"--nofile=" + std::to_string(*limit) + ":" + std::to_string(*limit),
                                      CONTROL_DECK_BINARY};
        for (std::string& argument : arguments()) args.push_back(std::move(argument));
        started = std::make_unique<HostProcess>("/usr/bin/prlimit", args);
    } else {
        started = std::make_unique<HostProcess>(CONTROL_DECK_BINARY, arguments());
    }
    HostProcess& host = *started;
    ASSERT_TRUE(host.waitForLine(listeningLine())) << host.out() << host.err();
    // Every kind of exchange once first, so threads and buffers the host makes
    // on first use are in the baseline.
    for (int i = 0; i < 8; ++i) ASSERT_EQ(httpRequest(port, "GET", "/api/health").status, 200);
    ASSERT_EQ(httpRequest(port, "PUT", "/api/settings", R"({"theme":"dark"})").status, 401);
    const std::size_t baselineDescriptors = descriptorsOf(host.pid());
    const std::size_t baselineKiB = residentKiB(host.pid());
    ASSERT_GT(baselineDescriptors, 0u);
    ASSERT_GT(baselineKiB, 0u);

    std::vector<veltrane::testing::LoopbackSocket> stalled;
    stalled.reserve(kStalledHeads + kStalledBodies + kSilent);
    for (std::size_t i = 0; i < kStalledHeads; ++i) {
        stalled.push_back(veltrane::testing::LoopbackSocket::connect(port));
        ASSERT_TRUE(stalled.back().sendAll("GET /api/health HTTP/1.1\r\nHost: x"));
    }
    for (std::size_t i = 0; i < kStalledBodies; ++i) {
        stalled.push_back(veltrane::testing::LoopbackSocket::connect(port));
        ASSERT_TRUE(stalled.back().sendAll(
            "PUT /api/settings HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
            "Content-Length: 100000\r\n\r\n{\"theme\":"));
    }
    for (std::size_t i = 0; i < kSilent; ++i) {
        stalled.push_back(veltrane::testing::LoopbackSocket::connect(port));
        ASSERT_TRUE(stalled.back().valid());
    }
    std::vector<veltrane::testing::LoopbackSocket> sockets;
    for (std::size_t i = 0; i < kSilentSockets; ++i) {
        sockets.push_back(veltrane::testing::LoopbackSocket::connect(port));
        ASSERT_TRUE(sockets.back().sendAll(
            "GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"));
    }

    // Past the waiting allowance, upgraded sockets are turned away at once.
    EXPECT_GE(countClosedWith(sockets, kTryAgainLater, kSilentSockets - kWaitingSockets),
              kSilentSockets - kWaitingSockets);

    // The health check still gets through, the host holds no more than its
    // caps and its memory stays bounded.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(httpRequest(port, "GET", "/api/health").status, 200);
    const std::size_t ceiling = baselineDescriptors + cap + kWaitingSockets + 2;
    EXPECT_TRUE(testing::eventually([&] { return descriptorsOf(host.pid()) <= ceiling; }, kSettlePatience))
        << descriptorsOf(host.pid()) << " descriptors, at most " << ceiling << " expected";
    const std::size_t floodKiB = residentKiB(host.pid());
    EXPECT_LT(floodKiB, baselineKiB + kResidentHeadroomKiB) << "baseline " << baselineKiB << " KiB";
    std::cout << "host: " << baselineDescriptors << " descriptors, " << baselineKiB << " KiB resident before; "
              << descriptorsOf(host.pid()) << " descriptors, " << floodKiB << " KiB during the flood\n";

    stalled.clear();
    sockets.clear();
    EXPECT_TRUE(testing::eventually([&] { return descriptorsOf(host.pid()) <= baselineDescriptors; },
                                    kSettlePatience))
        << descriptorsOf(host.pid()) << " descriptors after the peers left, " << baselineDescriptors << " before";
    EXPECT_EQ(httpRequest(port, "GET", "/api/health").status, 200);

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0)) << host.err();
}

INSTANTIATE_TEST_SUITE_P(DescriptorLimits, ControlDeckHostFlood,
                         ::testing::Values(std::nullopt, std::optional<std::size_t>(kTightDescriptorLimit)),
                         [](const auto& info) { return info.param ? "TightLimit" : "RaisedLimit"; });

// ---------------------------------------------------------------------------
// Pairing-code brute force

constexpr int kGuesses = 10'000;
constexpr int kGuessers = 4;
constexpr std::size_t kAttemptsPerWindow = 8;
constexpr auto kAttemptWindow = 10s;

TEST_F(ControlDeckHostAbuse, BruteForcedPairingCodeHoldsAndLeavesNoSecretInTheLog) {
    std::unique_ptr<HostProcess> host;
    const std::string code = startPairingHost(host);
    ASSERT_FALSE(code.empty());

    // Every guess on a connection of its own, from a few peers at once.
    std::mutex mutex;
    std::map<std::pair<int, std::string>, int> answers;  // (status, message) -> count
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> guessers;
    for (int g = 0; g < kGuessers; ++g) {
        guessers.emplace_back([&, g] {
            std::mt19937 random(static_cast<unsigned>(g) + 1);
            std::uniform_int_distribution<int> digits(0, 999'999);
            std::map<std::pair<int, std::string>, int> mine;
            for (int i = 0; i < kGuesses / kGuessers; ++i) {
                char guess[8];
                std::snprintf(guess, sizeof guess, "%06d", digits(random));
                if (guess == code) guess[0] = guess[0] == '9' ? '0' : static_cast<char>(guess[0] + 1);
                const HTTPReply reply =
                    tryHTTPRequest(port, "POST", "/api/pairing/request",
                                   JSON::text(Json{{"code", guess}, {"deviceName", "Guess"}, {"deviceKind", "tablet"}}));
                ++mine[{reply.status, errorMessageOf(reply)}];
            }
            std::lock_guard lock(mutex);
            for (const auto& [key, count] : mine) answers[key] += count;
        });
    }
    for (std::thread& guesser : guessers) guesser.join();
    const auto elapsed = std::chrono::steady_clock::now() - started;

    const int incorrect = answers[{422, deck::PairingStore::kCodeIncorrectMessage}];
    const int limited = answers[{422, kTooManyAttempts}];
    std::ostringstream kinds;
    for (const auto& [key, count] : answers) kinds << key.first << " \"" << key.second << "\": " << count << "\n";
    // Every guess was answered, and only with one of the two refusals.
    EXPECT_EQ(incorrect + limited, kGuesses) << kinds.str();
    // The first window lets its attempts through; after that each window
    // allows no more than its share, however fast the guesses come.
    const auto windows = static_cast<std::size_t>(elapsed / kAttemptWindow) + 1;
    EXPECT_GE(static_cast<std::size_t>(incorrect), kAttemptsPerWindow) << kinds.str();
    EXPECT_LE(static_cast<std::size_t>(incorrect), kAttemptsPerWindow * windows) << kinds.str();

    // The right code still pairs once the window lets attempts through again.
    HTTPReply paired;
    const auto deadline = std::chrono::steady_clock::now() + kSettlePatience;
    do {
        paired = httpRequest(port, "POST", "/api/pairing/request",
                             JSON::text(Json{{"code", code}, {"deviceName", "Owner"}, {"deviceKind", "tablet"}}));
        if (errorMessageOf(paired) != kTooManyAttempts) break;
        std::this_thread::sleep_for(500ms);
    } while (std::chrono::steady_clock::now() < deadline);
    ASSERT_EQ(paired.status, 200) << paired.body;
    ASSERT_EQ(dataOf(paired)["status"], "approved") << paired.body;
    const std::string deviceId = dataOf(paired)["deviceId"];
    const std::string deviceToken = dataOf(paired)["deviceToken"];
    const HTTPReply session = httpRequest(port, "POST", "/api/session",
                                          JSON::text(Json{{"deviceId", deviceId}, {"deviceToken", deviceToken}}));
    ASSERT_EQ(session.status, 200) << session.body;
    const std::string sessionToken = dataOf(session)["session"];
    const HTTPReply devices = httpRequest(port, "GET", "/api/devices", {}, bearer(sessionToken));
    ASSERT_EQ(devices.status, 200);
    ASSERT_EQ(dataOf(devices).size(), 1u) << devices.body;
    // Requests that carry the secrets where a careless log would show them.
    httpRequest(port, "GET", "/api/state?session=" + sessionToken, {}, bearer(sessionToken + "x"));
    httpRequest(port, "POST", "/api/session", JSON::text(Json{{"deviceId", deviceId}, {"deviceToken", code}}));

    host->signal(SIGTERM);
    ASSERT_EQ(host->waitForExit(), std::optional<int>(0)) << host->err();

    // The test-mode announcement is the one place the code may appear.
    const std::set<std::string> announcements{"PAIRING_CODE " + code,
                                              "[deck] PAIRING_CODE " + code + " (auto-approve, 5 min)"};
    std::size_t announced = 0;
    for (const std::string& output : {host->out(), host->err()}) {
        for (const std::string& line : linesOf(output)) {
            SCOPED_TRACE(line);
            EXPECT_EQ(line.find(deviceToken), std::string::npos);
            EXPECT_EQ(line.find(sessionToken), std::string::npos);
            if (announcements.count(line) != 0) {
                ++announced;
                continue;
            }
            EXPECT_EQ(line.find(code), std::string::npos);
        }
    }
    EXPECT_EQ(announced, announcements.size()) << host->out();
}

// ---------------------------------------------------------------------------
// SIGKILL during data writes

constexpr int kKillRounds = 30;
// Rounds stop early once this much time went by (slow sanitizer builds); the
// bound keeps the test well inside its CTest time-out.
constexpr auto kKillBudget = 50s;
constexpr int kMaxWritesPerRound = 2'000;
constexpr std::uintmax_t kLargestDataFile = 64 * 1024;
const std::array<std::string, 3> kThemes{"system", "light", "dark"};

enum Kind { settings, layout, actions, deviceName, kindCount };

// What a round's writes left: per kind, the values the host may hold now.
struct Expectation {
    std::array<std::set<std::string>, kindCount> allowed;
    std::vector<std::pair<std::string, std::string>> devices;  // acknowledged pairings: id, token
};

// The marker each kind of write carries, as read back from the host; a
// layout or action list none of our writes made reads as kUntouched.
constexpr const char* kUntouched = "(untouched)";
std::optional<std::string> markerOf(Kind kind, const Json& data) {
    switch (kind) {
    case settings:
        return data["theme"].is_string() ? std::optional<std::string>(data["theme"]) : std::nullopt;
    case layout:
        for (const Json& page : data["pages"])
            if (page["id"] == "abuse" && page["name"].is_string()) return page["name"].get<std::string>();
        return data["pages"].is_array() ? std::optional<std::string>(kUntouched) : std::nullopt;
    case actions:
        if (data.is_array() && data.empty()) return kUntouched;
        if (data.is_array() && data.size() == 1 && data[0]["title"].is_string()) return data[0]["title"].get<std::string>();
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

// The markers of settings, layout and actions as the host has them now.
std::array<std::optional<std::string>, 3> readMarkers(std::uint16_t port, const std::string& session) {
    std::array<std::optional<std::string>, 3> markers;
    for (Kind kind : {settings, layout, actions}) {
        const std::string path = kind == settings ? "/api/settings" : kind == layout ? "/api/layout" : "/api/actions";
        const HTTPReply reply = httpRequest(port, "GET", path, {}, bearer(session));
        EXPECT_EQ(reply.status, 200) << path << " " << reply.body;
        markers[kind] = markerOf(kind, dataOf(reply));
        EXPECT_TRUE(markers[kind]) << path << " " << reply.body;
    }
    return markers;
}

// Every data file on disk parses as plain JSON and through the host's own
// loaders; temporary files are only the ones of the safe write, and small.
// `abandoned` holds the temporary files of killed writers seen last time:
// each host run writes every such file at least once, which must clear them.
void checkDataDirectory(const std::filesystem::path& root, std::set<std::string>& abandoned) {
    deck::FileStore store(root);
    for (std::string_view name : {deck::FileStore::settingsFile, deck::FileStore::layoutFile,
                                  deck::FileStore::actionsFile, deck::FileStore::identityFile}) {
        SCOPED_TRACE(std::string(name));
        std::optional<std::string> bytes = store.read(name);
        if (!bytes) continue;
        EXPECT_TRUE(Json::accept(*bytes)) << *bytes;
        const std::optional<Json> json = deck::FileStore::decode(*bytes);
        ASSERT_TRUE(json.has_value()) << *bytes;
        if (name == deck::FileStore::settingsFile) {
            EXPECT_TRUE(store.load<deck::DeckSettings>(name)) << *bytes;
        } else if (name == deck::FileStore::actionsFile) {
            EXPECT_TRUE(store.load<std::vector<deck::CustomActionDef>>(name)) << *bytes;
        } else if (name == deck::FileStore::layoutFile) {
            EXPECT_NO_THROW((void)deck::LayoutDocument::parseRequest(*bytes)) << *bytes;
        } else {
            EXPECT_TRUE(deck::PersistedIdentity::decode(*json, std::chrono::system_clock::now())) << *bytes;
        }
    }
    // No host runs now. A killed write may leave its temporary file, but
    // they never pile up: at most one per data file, small, and only those.
    const std::regex temporary("(settings|layout|actions|identity|clipboard-history)\\.json\\.tmp|"
                               "Connection/\\.(stream-grants\\.json)\\.[0-9]+\\.[0-9]+\\.tmp");
    std::map<std::string, int> perFile;
    std::set<std::string> seen;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.path().extension() != ".tmp") continue;
        const std::string relative = entry.path().lexically_relative(root).string();
        std::smatch match;
        if (!std::regex_match(relative, match, temporary)) {
            ADD_FAILURE() << "stray " << relative;
            continue;
        }
        EXPECT_EQ(++perFile[match[1].str() + match[2].str()], 1) << "temporary files pile up: " << relative;
        EXPECT_LE(entry.file_size(), kLargestDataFile) << relative;
        if (match[2].matched) {
            EXPECT_EQ(abandoned.count(relative), 0u) << relative << " outlived a host that rewrote its file";
            seen.insert(relative);
        }
    }
    abandoned = std::move(seen);
}

// Reads everything back from a fresh host and compares it with what the
// last round's writes allow; narrows `expected` to what was read.
void checkReadBack(std::uint16_t port, Expectation& expected, const std::string& session) {
    const std::array<std::optional<std::string>, 3> markers = readMarkers(port, session);
    for (Kind kind : {settings, layout, actions}) {
        if (!markers[kind]) continue;
        if (expected.allowed[kind].empty()) expected.allowed[kind] = {*markers[kind]};  // the first read
        EXPECT_EQ(expected.allowed[kind].count(*markers[kind]), 1u) << "kind " << kind << " read back " << *markers[kind];
        expected.allowed[kind] = {*markers[kind]};
    }
    const HTTPReply listed = httpRequest(port, "GET", "/api/devices", {}, bearer(session));
    EXPECT_EQ(listed.status, 200) << listed.body;
    const Json devices = dataOf(listed);
    std::map<std::string, std::string> names;
    for (const Json& device : devices) names[device["id"].get<std::string>()] = device["name"].get<std::string>();
    for (const auto& [id, token] : expected.devices) {
        EXPECT_EQ(names.count(id), 1u) << "acknowledged device " << id << " lost: " << devices;
        const HTTPReply opened =
            httpRequest(port, "POST", "/api/session", JSON::text(Json{{"deviceId", id}, {"deviceToken", token}}));
        EXPECT_EQ(opened.status, 200) << "device " << id << ": " << opened.body;
    }
    if (!expected.devices.empty()) {
        const std::string& name = names[expected.devices.front().first];
        EXPECT_EQ(expected.allowed[deviceName].count(name), 1u) << "device name read back " << name;
        expected.allowed[deviceName] = {name};
    }
}

// One client hammering every kind of write until the host goes away; what it
// saw acknowledged, and what it had in flight, narrows `expected`.
// The pairing lands at `pairingStep` among the other writes; the first
// device, paired before, gives the session.
void hammer(std::uint16_t port, const std::string& code, int pairingStep, int round, Expectation& expected) {
    const auto [id, token] = expected.devices.front();
    const HTTPReply opened =
        tryHTTPRequest(port, "POST", "/api/session", JSON::text(Json{{"deviceId", id}, {"deviceToken", token}}));
    if (opened.status == 0) return;
    ASSERT_EQ(opened.status, 200) << opened.body;
    const std::string session = dataOf(opened)["session"];
    for (int step = 0; step < kMaxWritesPerRound; ++step) {
        if (step == pairingStep) {
            const HTTPReply paired = tryHTTPRequest(
                port, "POST", "/api/pairing/request",
                JSON::text(Json{{"code", code}, {"deviceName", "Round " + std::to_string(round)}, {"deviceKind", "tablet"}}));
            if (paired.status == 0) return;
            ASSERT_EQ(paired.status, 200) << paired.body;
            ASSERT_EQ(dataOf(paired)["status"], "approved") << paired.body;
            expected.devices.emplace_back(dataOf(paired)["deviceId"], dataOf(paired)["deviceToken"]);
            continue;
        }
        const Kind kind = static_cast<Kind>(step % kindCount);
        const std::string marker = kind == settings ? kThemes[static_cast<std::size_t>(step / kindCount) % kThemes.size()]
                                                    : "r" + std::to_string(round) + "s" + std::to_string(step);
        HTTPReply reply;
        switch (kind) {
        case settings:
            reply = tryHTTPRequest(port, "PUT", "/api/settings", JSON::text(Json{{"theme", marker}}), bearer(session));
            break;
        case layout:
            reply = tryHTTPRequest(
                port, "PUT", "/api/layout",
                JSON::text(Json{{"version", 1},
                                {"activePageId", "abuse"},
                                {"pages", Json::array({Json{{"id", "abuse"}, {"name", marker}, {"widgets", Json::array()}}})}}),
                bearer(session));
            break;
        case actions:
            reply = tryHTTPRequest(port, "PUT", "/api/actions",
                                   JSON::text(Json::array({Json{{"id", "a" + marker},
                                                                {"title", marker},
                                                                {"commandType", "media_play_pause"},
                                                                {"payload", Json::object()}}})),
                                   bearer(session));
            break;
        default:
            reply = tryHTTPRequest(port, "PATCH", "/api/devices/" + expected.devices.front().first,
                                   JSON::text(Json{{"name", marker}}), bearer(session));
            break;
        }
        if (reply.status == 0) {
            // Killed with this write in flight: either value may have landed.
            expected.allowed[kind].insert(marker);
            return;
        }
        ASSERT_EQ(reply.status, 200) << reply.body;
        if (kind != deviceName) {
            ASSERT_EQ(markerOf(kind, dataOf(reply)), std::optional<std::string>(marker)) << reply.body;
        }
        expected.allowed[kind] = {marker};
    }
}

TEST_F(ControlDeckHostAbuse, KilledDuringWritesLosesNothingAcknowledged) {
    std::mt19937 random(20251210);
    Expectation expected;
    std::set<std::string> abandoned;
    const auto started = std::chrono::steady_clock::now();
    int rounds = 0;
    for (; rounds < kKillRounds && std::chrono::steady_clock::now() - started < kKillBudget; ++rounds) {
        SCOPED_TRACE("round " + std::to_string(rounds));
        checkDataDirectory(data.path(), abandoned);
        if (::testing::Test::HasFatalFailure()) return;
        port = testing::freeLoopbackPort();
        std::unique_ptr<HostProcess> host;
        const std::string code = startPairingHost(host);
        ASSERT_FALSE(code.empty());
        const bool firstRound = expected.devices.empty();
        if (firstRound) {
            // The first device, paired before any kill, and the state it finds.
            const HTTPReply paired = httpRequest(
                port, "POST", "/api/pairing/request",
                JSON::text(Json{{"code", code}, {"deviceName", "First"}, {"deviceKind", "tablet"}}));
            ASSERT_EQ(dataOf(paired)["status"], "approved") << paired.body;
            expected.devices.emplace_back(dataOf(paired)["deviceId"], dataOf(paired)["deviceToken"]);
            expected.allowed[deviceName] = {"First"};
        }
        const auto [id, token] = expected.devices.front();
        const HTTPReply opened =
            httpRequest(port, "POST", "/api/session", JSON::text(Json{{"deviceId", id}, {"deviceToken", token}}));
        ASSERT_EQ(opened.status, 200) << "the first device's token no longer opens a session: " << opened.body;
        checkReadBack(port, expected, dataOf(opened)["session"]);

        // The code pairs once: the first round has used it.
        const int pairingStep = firstRound ? -1 : std::uniform_int_distribution<int>(0, 12)(random);
        std::thread client([&, code, round = rounds] { hammer(port, code, pairingStep, round, expected); });
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 400)(random)));
        host->signal(SIGKILL);
        const std::optional<int> status = host->waitForExit();
        client.join();
        ASSERT_EQ(status, std::optional<int>(SIGKILL)) << host->err();
        if (::testing::Test::HasFatalFailure()) return;
    }
    EXPECT_GE(rounds, 5);

    // A clean stop after one write of each kind leaves no temporary file.
    checkDataDirectory(data.path(), abandoned);
    port = testing::freeLoopbackPort();
    HostProcess host(CONTROL_DECK_BINARY, arguments());
    ASSERT_TRUE(host.waitForLine(listeningLine())) << host.out() << host.err();
    ASSERT_FALSE(expected.devices.empty());
    const auto [id, token] = expected.devices.front();
    const HTTPReply opened =
        httpRequest(port, "POST", "/api/session", JSON::text(Json{{"deviceId", id}, {"deviceToken", token}}));
    ASSERT_EQ(opened.status, 200) << opened.body;
    const std::string session = dataOf(opened)["session"];
    checkReadBack(port, expected, session);
    EXPECT_EQ(httpRequest(port, "PUT", "/api/settings", R"({"theme":"dark"})", bearer(session)).status, 200);
    EXPECT_EQ(httpRequest(port, "POST", "/api/layout/restore", {}, bearer(session)).status, 200);
    EXPECT_EQ(httpRequest(port, "PUT", "/api/actions", "[]", bearer(session)).status, 200);
    EXPECT_EQ(httpRequest(port, "PATCH", "/api/devices/" + id, R"({"name":"Last"})", bearer(session)).status, 200);
    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0)) << host.err();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(data.path()))
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
}

}  // namespace
}  // namespace veltrane
