#include "tests/support/PrivateBus.h"

#include <signal.h>

#include "platform/process/Shell.h"
#include "tests/support/Eventually.h"
#include "tests/support/XvfbServer.h"

namespace veltrane::testing {

std::unique_ptr<PrivateBus> PrivateBus::start(std::string& error) {
    auto daemon = process::ChildProcess::spawn(
        "/bin/sh", {"-c", "exec dbus-daemon --session --nofork --nopidfile --print-address=1 2>/dev/null"}, error);
    if (!daemon) return nullptr;
    auto address = firstLine(*daemon);
    if (!address) {
        error = "dbus-daemon did not report its address";
        daemon->sendSignal(SIGKILL);
        return nullptr;
    }
    return std::unique_ptr<PrivateBus>(new PrivateBus(std::move(daemon), *address));
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
    auto result = process::Shell::run("/usr/bin/dbus-send", all, 30.0);
    if (result.status != 0) return std::nullopt;
    return result.stdout;
}

bool PrivateBus::addLogindSession(const std::string& id) const {
    return send({"--dest=org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Mock.AddSession",
                 "string:" + id, "string:seat0", "uint32:1000", "string:user", "boolean:true"}) &&
           send({"--dest=org.freedesktop.login1", "/org/freedesktop/login1/session/" + id,
                 "org.freedesktop.DBus.Mock.AddMethod", "string:org.freedesktop.login1.Session", "string:SetBrightness",
                 "string:ssu", "string:", "string:"});
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

}  // namespace veltrane::testing
