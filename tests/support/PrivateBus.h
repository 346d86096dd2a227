#pragma once
// A D-Bus daemon of the test's own, and python-dbusmock services on it.
// Point both DBUS_SESSION_BUS_ADDRESS and DBUS_SYSTEM_BUS_ADDRESS at
// address() and code under test talks to these mocks only.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/process/ChildProcess.h"

namespace veltrane::testing {

class PrivateBus {
public:
    static std::unique_ptr<PrivateBus> start(std::string& error);
    ~PrivateBus();  // stops the mocks, then the daemon

    const std::string& address() const { return address_; }

    // Runs `python3 -m dbusmock` with `arguments` (for example
    // {"--template", "logind"}), logging calls to `log`, and waits until
    // `busName` is owned. False when it did not come up.
    bool startMock(const std::vector<std::string>& arguments, const std::string& busName,
                   const std::filesystem::path& log);

    // Adds a session with that id to a running logind mock, with a
    // SetBrightness method that only records its calls.
    bool addLogindSession(const std::string& id) const;

    // dbus-send on this bus; its standard output, or none on failure.
    std::optional<std::string> send(const std::vector<std::string>& arguments) const;

private:
    PrivateBus(std::unique_ptr<process::ChildProcess> daemon, std::string address)
        : daemon_(std::move(daemon)), address_(std::move(address)) {}
    std::unique_ptr<process::ChildProcess> daemon_;
    std::string address_;
    std::vector<std::unique_ptr<process::ChildProcess>> mocks_;
};

}  // namespace veltrane::testing
