#include "platform/dbus/Notifications.h"

#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <vector>

#include "platform/dbus/BusCall.h"

namespace veltrane::dbus {

bool Notifications::notify(const std::string& appName, const std::string& summary, const std::string& body) {
    BusCall call{"org.freedesktop.Notifications", "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                 "Notify"};
    return call.send(Bus::session, [&](sdbus::MethodCall& m) {
        const std::uint32_t replacesId = 0;
        const std::int32_t serverTimeout = -1;
        m << appName << replacesId << std::string() << summary << body << std::vector<std::string>()
          << std::map<std::string, sdbus::Variant>() << serverTimeout;
    });
}

}  // namespace veltrane::dbus
