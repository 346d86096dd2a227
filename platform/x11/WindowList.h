#pragma once
// The top-level windows of the display server, as a window filter needs them:
// where each stands on the root, whether it is an ordinary application window,
// which process owns it and its application class.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace veltrane::x11 {

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool containsPoint(double px, double py) const {
        return px >= x && py >= y && px < x + width && py < y + height;
    }
    double midX() const { return x + width / 2.0; }
    double midY() const { return y + height / 2.0; }
};

struct TopLevelWindow {
    unsigned long id = 0;
    Rect frame;                     // the decorated rectangle, root coordinates
    int layer = 0;                  // 0 for normal and dialog windows, 1 for panels, docks, menus...
    std::optional<pid_t> ownerPID;  // the client's process, when the server or the window tells it
    std::string applicationClass;   // the class part of WM_CLASS; empty when unset
};

class X11Connection;

// The window manager's stacking list (bottom to top) when one runs, else the
// viewable children of the root that are not override-redirect. Empty
// optional when the connection is lost.
std::optional<std::vector<TopLevelWindow>> listTopLevelWindows(X11Connection& connection);

}  // namespace veltrane::x11
