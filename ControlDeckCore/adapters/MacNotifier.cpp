#include "ControlDeckCore/adapters/MacNotifier.h"

#include "platform/dbus/Notifications.h"

namespace veltrane::deck {

void MacNotifier::timerFinished(const std::string&, const std::string& label) {
    dbus::Notifications::notify(kAppName, kTitle, label);
}

}  // namespace veltrane::deck
