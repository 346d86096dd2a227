#pragma once
// One short D-Bus method call on a connection of its own (sdbus-c++ over
// sd-bus). The bus addresses come from DBUS_SYSTEM_BUS_ADDRESS and
// DBUS_SESSION_BUS_ADDRESS when set, so tests can point them at a private bus.

#include <chrono>
#include <functional>
#include <string>

namespace sdbus {
class MethodCall;
}

namespace veltrane::dbus {

enum class Bus { system, session };

struct BusCall {
    // Desktop services answer at once; one that does not is not waited for.
    static constexpr std::chrono::milliseconds kTimeout{2000};

    std::string destination;
    std::string path;
    std::string interface;
    std::string method;

    // Calls and waits for the reply. False when the bus cannot be reached,
    // nobody answers in time or the service answers with an error.
    bool call(Bus bus, const std::function<void(sdbus::MethodCall&)>& arguments) const;

    // Sends without asking for a reply. False when the bus cannot be reached.
    bool send(Bus bus, const std::function<void(sdbus::MethodCall&)>& arguments) const;
};

}  // namespace veltrane::dbus
