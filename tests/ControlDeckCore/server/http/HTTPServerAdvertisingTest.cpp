// Service advertising: what the server registers, and the real thing through
// a private avahi-daemon on loopback.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "ControlDeckCore/server/http/HTTPServer.h"
#include "platform/process/Shell.h"
#include "platform/mdns/AvahiAdvertisement.h"
#include "platform/process/ChildProcess.h"
#include "tests/ControlDeckCore/server/http/FakeConnection.h"
#include "tests/ControlDeckCore/server/http/ServerRig.h"
#include "tests/support/Eventually.h"
#include "tests/support/LoopbackSocket.h"

using namespace veltrane;
using namespace veltrane::deck;
using namespace std::chrono_literals;
using veltrane::testing::eventually;
using veltrane::testing::ServerRig;
namespace fs = std::filesystem;

namespace {

// Stands in for the mDNS responder and records what the server asked of it.
struct Recorder {
    struct Advertised : mdns::Advertisement {
        Advertised(Recorder& recorder) : recorder(recorder) {}
        void updateTXT(std::map<std::string, std::string> txt) override {
            std::lock_guard lock(recorder.mutex);
            recorder.updates.push_back(std::move(txt));
        }
        Recorder& recorder;
    };
    HTTPServer::Options options() {
        auto options = ServerRig::options();
        options.advertise = [this](const mdns::ServiceRecord& service, const mdns::LogSink&) {
            std::lock_guard lock(mutex);
            services.push_back(service);
            return std::make_unique<Advertised>(*this);
        };
        return options;
    }
    std::size_t serviceCount() {
        std::lock_guard lock(mutex);
        return services.size();
    }
    std::size_t updateCount() {
        std::lock_guard lock(mutex);
        return updates.size();
    }
    std::mutex mutex;
    std::vector<mdns::ServiceRecord> services;
    std::vector<std::map<std::string, std::string>> updates;
};


}  // namespace

TEST(HTTPServerAdvertising, RegistersNameTypePortAndServerId) {
    Recorder recorder;
    ServerRig rig(recorder.options());
    ASSERT_NE(rig.start(0, "Studio Mac", false, "ID-ONE"), 0);
    ASSERT_TRUE(eventually([&] { return recorder.serviceCount() == 1; }));
    {
        std::lock_guard lock(recorder.mutex);
        const auto& service = recorder.services.front();
        EXPECT_EQ(service.name, "Studio Mac");
        EXPECT_EQ(service.type, "_veltrane._tcp");
        EXPECT_EQ(service.port, rig.port);
        EXPECT_EQ(service.txt, (std::map<std::string, std::string>{{"serverId", "ID-ONE"}}));
    }
    rig.server->updateAdvertisedIdentity("ID-TWO");
    ASSERT_TRUE(eventually([&] { return recorder.updateCount() == 1; }));
    std::lock_guard lock(recorder.mutex);
    EXPECT_EQ(recorder.updates.front(), (std::map<std::string, std::string>{{"serverId", "ID-TWO"}}));
}

TEST(HTTPServerAdvertising, WhatIsNotAdvertised) {
    struct Case {
        const char* name;
        std::optional<std::string> advertiseName;
        bool loopbackOnly;
        std::optional<std::string> serverId;
        std::size_t services;
    } cases[] = {
        {"loopback only", "Studio Mac", true, "ID", 0},
        {"no name", std::nullopt, false, "ID", 0},
        {"no server id: no TXT record", "Studio Mac", false, std::nullopt, 1},
    };
    for (const auto& c : cases) {
        Recorder recorder;
        ServerRig rig(recorder.options());
        ASSERT_NE(rig.start(0, c.advertiseName, c.loopbackOnly, c.serverId), 0) << c.name;
        // Registration follows readiness on "deck.http"; a round trip there
        // makes sure it had its chance, and the update after it too.
        rig.server->updateAdvertisedIdentity("LATER");
        rig.server->queue()->sync([] {});
        rig.server->stop();
        std::lock_guard lock(recorder.mutex);
        EXPECT_EQ(recorder.services.size(), c.services) << c.name;
        if (c.services) {
            EXPECT_EQ(recorder.services.front().txt, std::nullopt) << c.name;
            EXPECT_EQ(recorder.updates.size(), 1u) << c.name;
        } else {
            EXPECT_TRUE(recorder.updates.empty()) << c.name;
        }
    }
}

TEST(HTTPServerAdvertising, InstanceNamesAreCutToOneLabelOfWholeCharacters) {
    const std::string x61(61, 'x'), x62(62, 'x'), x63(63, 'x');
    const struct {
        std::string name, expected;
    } cases[] = {
        {"", ""},
        {"Studio Mac", "Studio Mac"},
        {x63, x63},
        {x63 + "y", x63},
        {x61 + "\u00E9", x61 + "\u00E9"},          // 63 bytes: fits
        {x62 + "\u00E9", x62},                      // its second byte would be the 64th
        {x61 + "\u20AC", x61},                      // three bytes from the 62nd
        {x62 + "\U0001F600" + "tail", x62},         // four bytes from the 63rd
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mdns::instanceName(c.name), c.expected) << c.name;
        EXPECT_LE(mdns::instanceName(c.name).size(), mdns::kMaxInstanceNameBytes);
    }
}

namespace {
// Runs in a child process: the D-Bus library keeps the first bus address it
// reads for the life of the process.
int advertiseWithoutADaemon() {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/veltrane-test-bus", 1);
    std::vector<std::string> lines;
    auto advertisement = mdns::advertiseWithAvahi({"Deck", "_veltrane._tcp", 8741, std::nullopt},
                                                  [&](const std::string& line) { lines.push_back(line); });
    if (advertisement) return 2;
    if (lines.size() != 1 || lines.front().find("serving without it") == std::string::npos) return 3;

    ServerRig rig;  // the real advertiser
    rig.server->handler = [](const HTTPRequest&) { return HTTPResponse::ok(Json{{"name", "Deck"}}); };
    if (rig.start(0, "Deck", false, "ID") == 0) return 4;
    auto raw = veltrane::testing::exchange(rig.port, "GET /api/health HTTP/1.1\r\n\r\n");
    if (!raw || raw->rfind("HTTP/1.1 200 OK", 0) != 0) return 5;
    return 0;
}
}  // namespace

TEST(HTTPServerAdvertising, WithoutAReachableDaemonItLogsOnceAndServes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(advertiseWithoutADaemon()), ::testing::ExitedWithCode(0), "");
}

namespace {

// A private system bus and avahi-daemon, mDNS on the loopback interface only.
class PrivateAvahi {
public:
    // Empty when running; otherwise why the daemons could not be started here.
    std::string start() {
        if (::geteuid() != 0) return "avahi-daemon needs root for its pid file in /run/avahi-daemon";
        for (const char* tool :
             {"/usr/bin/dbus-daemon", "/usr/sbin/avahi-daemon", "/usr/bin/avahi-browse", "/usr/bin/setpriv"})
            if (::access(tool, X_OK) != 0) return std::string(tool) + " is not installed";
        if (process::Shell::run("/usr/sbin/avahi-daemon", {"--check"}, 10).status == 0)
            return "an avahi-daemon is already running here; the test will not start a second one";
        char pattern[] = "/tmp/deck-avahi-XXXXXX";
        if (!::mkdtemp(pattern)) return "no temporary directory";
        dir_ = pattern;
        const std::string busPath = dir_ + "/bus";
        std::ofstream(dir_ + "/bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>system</type><listen>unix:path="
            << busPath
            << "</listen><auth>EXTERNAL</auth>"
               "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
               "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
        std::ofstream(dir_ + "/avahi.conf") << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\n"
                                               "enable-dbus=yes\n[wide-area]\nenable-wide-area=no\n"
                                               "[publish]\npublish-hinfo=no\npublish-workstation=no\n"
                                               "[reflector]\n[rlimits]\n";
        std::string error;
        // setpriv --pdeathsig: the daemons end with this process, even when a
        // sanitizer stops it without running any destructor.
        bus_ = process::ChildProcess::spawn("/usr/bin/setpriv",
                                            {"--pdeathsig", "TERM", "--", "/usr/bin/dbus-daemon",
                                             "--config-file=" + dir_ + "/bus.conf", "--nofork", "--nopidfile"},
                                            error);
        if (!bus_) return "dbus-daemon did not start: " + error;
        if (!eventually([&] { return fs::exists(busPath); })) return "dbus-daemon made no socket";
        bus_address_ = "unix:path=" + busPath;
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_address_.c_str(), 1);

        avahi_ = process::ChildProcess::spawn("/usr/bin/setpriv",
                                              {"--pdeathsig", "TERM", "--", "/usr/sbin/avahi-daemon", "-f",
                                               dir_ + "/avahi.conf", "--no-drop-root", "--no-chroot", "--no-rlimits",
                                               "--no-proc-title"},
                                              error);
        if (!avahi_) return "avahi-daemon did not start: " + error;
        std::string output;
        auto until = std::chrono::steady_clock::now() + 30s;
        while (output.find("Server startup complete") == std::string::npos) {
            if (std::chrono::steady_clock::now() > until || !avahi_->pump(200ms, [&](auto, const char* d, std::size_t n) {
                    output.append(d, n);
                }))
                return "avahi-daemon did not come up:\n" + output;
        }
        return {};
    }

    ~PrivateAvahi() {
        for (auto* child : {&avahi_, &bus_}) {
            if (!*child) continue;
            (*child)->sendSignal(SIGTERM);
            eventually([&] { return !(*child)->isRunning(); }, 10s);
            child->reset();
        }
        if (!bus_address_.empty()) ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    // Resolved services of a type, as avahi-browse prints them ("=;..." lines).
    static std::vector<std::string> browse(const std::string& type) {
        auto result = process::Shell::run("/usr/bin/avahi-browse", {"-r", "-p", "-t", type}, 20);
        std::vector<std::string> lines;
        std::size_t at = 0;
        while (at < result.stdout.size()) {
            std::size_t end = result.stdout.find('\n', at);
            if (end == std::string::npos) end = result.stdout.size();
            std::string line = result.stdout.substr(at, end - at);
            if (line.rfind("=;", 0) == 0) lines.push_back(line);
            at = end + 1;
        }
        return lines;
    }

private:
    std::string dir_;
    std::string bus_address_;
    std::unique_ptr<process::ChildProcess> bus_;
    std::unique_ptr<process::ChildProcess> avahi_;
};

bool anyLineHas(const std::vector<std::string>& lines, const std::string& a, const std::string& b = {}) {
    for (const auto& line : lines)
        if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) return true;
    return false;
}

// Browses until a resolved line holds both texts; `lines` keeps the last answer.
bool browseUntil(std::vector<std::string>& lines, const std::string& a, const std::string& b) {
    return eventually(
        [&] {
            lines = PrivateAvahi::browse(HTTPServer::kServiceType);
            return anyLineHas(lines, a, b);
        },
        30s);
}

}  // namespace

TEST(HTTPServerAdvertising, AvahiShowsTheServerIdItsReplacementAndAnyName) {
    PrivateAvahi avahi;
    if (auto why = avahi.start(); !why.empty()) GTEST_SKIP() << why;

    const std::string pid = std::to_string(::getpid());
    ServerRig hidden;  // loopback only: never advertised
    ASSERT_NE(hidden.start(0, "DeckHidden-" + pid, true, "ID-HIDDEN"), 0);
    ServerRig shown;  // listens on 127.0.0.1 all the same (the options' LAN address)
    ASSERT_NE(shown.start(0, "DeckShown-" + pid, false, "ID-ONE"), 0);

    const std::string name = ";DeckShown-" + pid + ";";
    const std::string port = ";" + std::to_string(shown.port) + ";";
    std::vector<std::string> lines;
    EXPECT_TRUE(browseUntil(lines, name, "\"serverId=ID-ONE\"")) << "avahi-browse saw:\n" << ::testing::PrintToString(lines);
    EXPECT_TRUE(anyLineHas(lines, name, port));
    EXPECT_FALSE(anyLineHas(lines, "DeckHidden-" + pid));

    shown.server->updateAdvertisedIdentity("ID-TWO");
    EXPECT_TRUE(browseUntil(lines, name, "\"serverId=ID-TWO\"")) << "avahi-browse saw:\n" << ::testing::PrintToString(lines);
    EXPECT_FALSE(anyLineHas(lines, name, "ID-ONE"));
    EXPECT_FALSE(anyLineHas(lines, "DeckHidden-" + pid));

    shown.server->stop();
    EXPECT_TRUE(eventually([&] { return !anyLineHas(PrivateAvahi::browse(HTTPServer::kServiceType), name); }, 30s))
        << "stop() withdraws the service";

    // DNS-SD takes an empty name as the computer's name and shortens a long
    // one; the server is found under either instead of not at all. (One
    // daemon per process: libdbus keeps the first bus address it read.)
    const std::string longName = "DeckLong-" + pid + "-" + std::string(80, 'x');
    ServerRig unnamed;
    ASSERT_NE(unnamed.start(0, std::string(), false, "ID-UNNAMED"), 0);
    ServerRig named;
    ASSERT_NE(named.start(0, longName, false, "ID-LONG"), 0);
    EXPECT_TRUE(browseUntil(lines, ";" + longName.substr(0, mdns::kMaxInstanceNameBytes) + ";",
                            ";" + std::to_string(named.port) + ";"))
        << "avahi-browse saw:\n" << ::testing::PrintToString(lines);
    EXPECT_TRUE(browseUntil(lines, "\"serverId=ID-UNNAMED\"", ";" + std::to_string(unnamed.port) + ";"))
        << "avahi-browse saw:\n" << ::testing::PrintToString(lines);
    for (const auto& line : lines) {
        if (line.find("ID-UNNAMED") == std::string::npos) continue;
        EXPECT_EQ(line.find("IPv4;;"), std::string::npos) << "an empty instance name: " << line;
    }
}
