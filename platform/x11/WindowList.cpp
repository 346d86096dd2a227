#include "platform/x11/WindowList.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>

#include "platform/x11/X11Connection.h"

namespace veltrane::x11 {
namespace {

std::vector<unsigned long> windowListProperty(X11Connection& x, Window window, const char* name, Atom type) {
    std::vector<unsigned long> values;
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(x.display(), window, x.atom(name), 0, 1 << 16, False, type, &actual, &format, &count,
                           &after, &data) == Success &&
        data && format == 32) {
        auto* items = reinterpret_cast<unsigned long*>(data);
        values.assign(items, items + count);
    }
    if (data) XFree(data);
    return values;
}

// The ancestor that is a child of the root: the window manager's frame when
// it reparents, the window itself when it does not.
Window frameOf(X11Connection& x, Window window) {
    Window current = window;
    for (int depth = 0; depth < 64; ++depth) {
        Window root = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(x.display(), current, &root, &parent, &children, &count)) return window;
        if (children) XFree(children);
        if (parent == root || parent == None) return current;
        current = parent;
    }
    return window;
}

std::optional<pid_t> clientPID(X11Connection& x, Window window) {
    int eventBase = 0, errorBase = 0;
    if (x.settingUp([&](Display* d) { return XResQueryExtension(d, &eventBase, &errorBase); })) {
        XResClientIdSpec query{window, XRES_CLIENT_ID_PID_MASK};
        long count = 0;
        XResClientIdValue* values = nullptr;
        if (XResQueryClientIds(x.display(), 1, &query, &count, &values) == Success) {
            std::optional<pid_t> found;
            for (long i = 0; i < count && !found; ++i) {
                pid_t pid = XResGetClientPid(&values[i]);
                if (pid > 0) found = pid;
            }
            XResClientIdsDestroy(count, values);
            if (found) return found;
        }
    }
    auto pids = windowListProperty(x, window, "_NET_WM_PID", XA_CARDINAL);
    if (!pids.empty() && pids[0] > 0 && pids[0] <= 0x7fffffffUL) return static_cast<pid_t>(pids[0]);
    return std::nullopt;
}

int layerOf(X11Connection& x, Window window) {
    auto types = windowListProperty(x, window, "_NET_WM_WINDOW_TYPE", XA_ATOM);
    if (types.empty()) return 0;
    Atom first = types[0];
    if (first == x.atom("_NET_WM_WINDOW_TYPE_NORMAL") || first == x.atom("_NET_WM_WINDOW_TYPE_DIALOG")) return 0;
    return 1;
}

std::string classOf(X11Connection& x, Window window) {
    XClassHint hint{nullptr, nullptr};
    std::string result;
    if (XGetClassHint(x.display(), window, &hint)) {
        if (hint.res_class) result = hint.res_class;
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
    }
    return result;
}

std::optional<TopLevelWindow> describe(X11Connection& x, Window window) {
    Window frame = frameOf(x, window);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(x.display(), frame, &attributes)) return std::nullopt;
    TopLevelWindow result;
    result.id = window;
    Window child = None;
    int rootX = 0, rootY = 0;
    XTranslateCoordinates(x.display(), frame, x.root(), 0, 0, &rootX, &rootY, &child);
    result.frame = Rect{rootX - attributes.border_width, rootY - attributes.border_width,
                        attributes.width + 2 * attributes.border_width, attributes.height + 2 * attributes.border_width};
    result.layer = layerOf(x, window);
    result.ownerPID = clientPID(x, window);
    result.applicationClass = classOf(x, window);
    return result;
}

}  // namespace

std::optional<std::vector<TopLevelWindow>> listTopLevelWindows(X11Connection& connection) {
    X11Connection* x = &connection;
    if (x->broken()) return std::nullopt;
    x->trapErrors();
    std::vector<Window> candidates;
    for (auto id : windowListProperty(*x, x->root(), "_NET_CLIENT_LIST_STACKING", XA_WINDOW))
        candidates.push_back(static_cast<Window>(id));
    if (candidates.empty()) {
        Window root = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(x->display(), x->root(), &root, &parent, &children, &count)) {
            for (unsigned int i = 0; i < count; ++i) {
                XWindowAttributes attributes;
                if (XGetWindowAttributes(x->display(), children[i], &attributes) &&
                    attributes.map_state == IsViewable && !attributes.override_redirect)
                    candidates.push_back(children[i]);
            }
            if (children) XFree(children);
        }
    }
    std::vector<TopLevelWindow> windows;
    for (Window window : candidates)
        if (auto described = describe(*x, window)) windows.push_back(std::move(*described));
    // A window that vanished between the listing and its reads only fails its
    // own requests; the rest of the list stands.
    if (x->broken()) return std::nullopt;
    return windows;
}

}  // namespace veltrane::x11
