#pragma once
// The desktop's screen saver service on the session bus.

namespace veltrane::dbus {

struct ScreenSaver {
    // org.freedesktop.ScreenSaver.Lock; false when no screen saver answers.
    static bool lock();
};

}  // namespace veltrane::dbus
