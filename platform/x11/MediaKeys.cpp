#include "platform/x11/MediaKeys.h"

#include <X11/XF86keysym.h>
#include <X11/extensions/XTest.h>

#include <memory>
#include <mutex>

#include "platform/x11/X11Connection.h"

namespace veltrane::x11 {

bool postMediaKey(MediaKey key) {
    // One connection, kept: opening and closing a display for every key,
    // while other threads of the process open and close theirs, corrupted
    // Xlib's heap now and then.
    static std::mutex mutex;
    static std::unique_ptr<X11Connection> kept;
    std::lock_guard lock(mutex);
    if (!kept || kept->broken()) kept = X11Connection::open();
    if (!kept) return false;
    X11Connection* connection = kept.get();
    Display* display = connection->display();
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!connection->settingUp(
            [&](Display* d) { return XTestQueryExtension(d, &eventBase, &errorBase, &major, &minor); }))
        return false;
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
