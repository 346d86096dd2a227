#pragma once
// One connection to the X display server. Xlib's default handlers end the
// process on a protocol error or a lost server; ours record the error
// instead, so a vanished window or a stopped server is an ordinary failure.
// A connection is used by one thread at a time.

#include <X11/Xlib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace veltrane::x11 {

class X11Connection {
public:
    // $DISPLAY; null when no display server is reachable.
    static std::unique_ptr<X11Connection> open();
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    Display* display() const { return display_; }
    Window root() const { return DefaultRootWindow(display_); }
    Atom atom(const char* name) const { return XInternAtom(display_, name, False); }

    // True once the connection to the server is lost; nothing more can be
    // done with it.
    bool broken() const { return broken_.load(); }

    // Forgets earlier protocol errors of this thread; `synced` then sends
    // what is queued, waits for the server and says whether any request
    // since failed.
    void trapErrors();
    bool synced();

    // Runs `setUp` with the display while no other connection opens, closes
    // or sets up. An extension's first call on a connection (its query)
    // registers the connection in libXext's process-wide tables, and closing
    // the last connection frees them; Xlib's own locks are per connection.
    // Every first call of an extension goes through here.
    template <class SetUp>
    decltype(auto) settingUp(SetUp&& setUp) {
        std::lock_guard lock(processWide());
        return std::forward<SetUp>(setUp)(display_);
    }

private:
    explicit X11Connection(Display* display);
    static void onLost(Display*, void* self);
    static std::mutex& processWide();
    Display* display_;
    std::atomic<bool> broken_{false};
};

}  // namespace veltrane::x11
