#include "platform/dbus/ScreenSaver.h"

#include "platform/dbus/BusCall.h"

namespace veltrane::dbus {

bool ScreenSaver::lock() {
    BusCall call{"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "Lock"};
    return call.call(Bus::session, [](sdbus::MethodCall&) {});
}

}  // namespace veltrane::dbus
