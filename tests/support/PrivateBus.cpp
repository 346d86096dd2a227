#include "tests/support/PrivateBus.h"

#include <signal.h>

#include <chrono>

#include "ControlDeckCore/server/Shell.h"
#include "tests/support/XvfbServer.h"

namespace veltrane::testsupport {

using namespace std::chrono_literals;

std::unique_ptr<PrivateBus> PrivateBus::start(std::string& error) {
    auto daemon = process::ChildProcess::spawn(
        "/bin/sh", {"-c", "exec dbus-daemon --session --nofork --nopidfile --print-address=1 2>/dev/null"}, error);
    if (!daemon) return nullptr;
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (out.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline && daemon->pipesOpen())
        daemon->pump(200ms, [&](process::ChildProcess::Stream, const char* d, std::size_t n) { out.append(d, n); });
    auto newline = out.find('\n');
    if (newline == std::string::npos || newline == 0) {
        error = "dbus-daemon did not report its address";
        daemon->sendSignal(SIGKILL);
        return nullptr;
    }
    return std::unique_ptr<PrivateBus>(new PrivateBus(std::move(daemon), out.substr(0, newline)));
}

PrivateBus::~PrivateBus() {
    for (auto& mock : mocks_) mock->sendSignal(SIGTERM);
    for (auto& mock : mocks_) eventually([&] { return !mock->isRunning(); });
    daemon_->sendSignal(SIGTERM);
    eventually([&] { return !daemon_->isRunning(); });
}

std::optional<std::string> PrivateBus::send(const std::vector<std::string>& arguments) const {
    std::vector<std::string> all{"--bus=" + address_, "--print-reply"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    auto result = deck::Shell::run("/usr/bin/dbus-send", all, 30.0);
    if (result.status != 0) return std::nullopt;
    return result.stdout;
}

bool PrivateBus::startMock(const std::vector<std::string>& arguments, const std::string& busName,
                           const std::filesystem::path& log) {
    std::vector<std::string> command{"DBUS_SESSION_BUS_ADDRESS=" + address_, "DBUS_SYSTEM_BUS_ADDRESS=" + address_,
                                     "/usr/bin/python3", "-m", "dbusmock", "--logfile", log.string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::string error;
    // Its output is not needed; closed pipes would only kill it on a write.
    std::string line = "exec /usr/bin/env";
    for (const auto& word : command) line += " '" + word + "'";
    auto mock = process::ChildProcess::spawn("/bin/sh", {"-c", line + " >/dev/null 2>&1"}, error);
    if (!mock) return false;
    mocks_.push_back(std::move(mock));
    return eventually([&] {
        auto reply = send({"--dest=org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                           "string:" + busName});
        return reply && reply->find("boolean true") != std::string::npos;
    });
}

}  // namespace veltrane::testsupport
