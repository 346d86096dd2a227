#include "ControlDeckCore/adapters/MacLock.h"

#include "ControlDeckCore/shared/DeckError.h"
#include "platform/dbus/Logind.h"
#include "platform/dbus/ScreenSaver.h"

namespace veltrane::deck {

void MacLock::lock() {
    if (dbus::Logind::lockSession()) return;
    if (dbus::ScreenSaver::lock()) return;
    throw DeckError::permissionDenied("Accessibility");
}

}  // namespace veltrane::deck
