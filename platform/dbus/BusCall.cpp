#include "platform/dbus/BusCall.h"

#include <sdbus-c++/sdbus-c++.h>

namespace veltrane::dbus {
namespace {

bool invoke(const BusCall& c, Bus bus, const std::function<void(sdbus::MethodCall&)>& arguments, bool wait) {
    try {
        auto connection = bus == Bus::system ? sdbus::createSystemBusConnection() : sdbus::createSessionBusConnection();
        auto proxy = sdbus::createProxy(*connection, c.destination, c.path);
        auto message = proxy->createMethodCall(c.interface, c.method);
        arguments(message);
        if (!wait) message.dontExpectReply();
        proxy->callMethod(message, std::chrono::duration_cast<std::chrono::microseconds>(BusCall::kTimeout).count());
        return true;
    } catch (const sdbus::Error&) {
        return false;
    }
}

}  // namespace

bool BusCall::call(Bus bus, const std::function<void(sdbus::MethodCall&)>& arguments) const {
    return invoke(*this, bus, arguments, true);
}

bool BusCall::send(Bus bus, const std::function<void(sdbus::MethodCall&)>& arguments) const {
    return invoke(*this, bus, arguments, false);
}

}  // namespace veltrane::dbus
