#pragma once
// Desktop notifications (org.freedesktop.Notifications on the session bus).

#include <string>

namespace veltrane::dbus {

struct Notifications {
    // Shows a notification at once with the server's default sound and
    // time-out. The reply is not waited for: the caller has nothing to do
    // with it. False when the session bus cannot be reached.
    static bool notify(const std::string& appName, const std::string& summary, const std::string& body);
};

}  // namespace veltrane::dbus
