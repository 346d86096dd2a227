#pragma once
// The login manager (systemd-logind) on the system bus.

#include <cstdint>
#include <string>

namespace veltrane::dbus {

struct Logind {
    // logind resolves "auto" to the caller's own session, or when it has
    // none (a service) to its user's graphical session.
    static constexpr const char* kSession = "auto";

    // Asks logind to lock our session; the desktop's locker reacts to it.
    static bool lockSession();

    // Sets a backlight through logind, which lets the session's user do it
    // without write access to /sys.
    static bool setBrightness(const std::string& subsystem, const std::string& name, std::uint32_t value);
};

}  // namespace veltrane::dbus
