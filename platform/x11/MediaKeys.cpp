#include "platform/x11/MediaKeys.h"

#include <X11/XF86keysym.h>
#include <X11/extensions/XTest.h>

#include "platform/x11/X11Connection.h"

namespace veltrane::x11 {

bool postMediaKey(MediaKey key) {
    const auto connection = X11Connection::open();
    if (!connection) return false;
    Display* display = connection->display();
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) return false;
    const KeySym symbol = key == MediaKey::play   ? XF86XK_AudioPlay
                          : key == MediaKey::next ? XF86XK_AudioNext
                                                  : XF86XK_AudioPrev;
    const KeyCode code = XKeysymToKeycode(display, symbol);
    if (code == 0) return false;
    connection->trapErrors();
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    return connection->synced();
}

}  // namespace veltrane::x11
