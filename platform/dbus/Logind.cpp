#include "platform/dbus/Logind.h"

#include <sdbus-c++/sdbus-c++.h>

#include "platform/dbus/BusCall.h"

namespace veltrane::dbus {

namespace {
constexpr const char* kService = "org.freedesktop.login1";
}

bool Logind::lockSession() {
    BusCall call{kService, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "LockSession"};
    return call.call(Bus::system, [](sdbus::MethodCall& m) { m << std::string(kSession); });
}

bool Logind::setBrightness(const std::string& subsystem, const std::string& name, std::uint32_t value) {
    BusCall call{kService, std::string("/org/freedesktop/login1/session/") + kSession,
                 "org.freedesktop.login1.Session", "SetBrightness"};
    return call.call(Bus::system, [&](sdbus::MethodCall& m) { m << subsystem << name << value; });
}

}  // namespace veltrane::dbus
