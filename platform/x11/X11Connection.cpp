#include "platform/x11/X11Connection.h"

#include <mutex>

namespace veltrane::x11 {
namespace {

// Xlib calls the error handler on the thread whose request failed, and each
// connection is used by one thread, so the record can be per thread.
thread_local int lastError = 0;

int recordError(Display*, XErrorEvent* event) {
    lastError = event->error_code;
    return 0;
}

int quietIOError(Display*) { return 0; }

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Before any other Xlib call: several threads open connections (the
        // display sampler, media keys), and Xlib's own implicit set-up on
        // the first open is not itself safe against a second thread.
        XInitThreads();
        XSetErrorHandler(recordError);
        XSetIOErrorHandler(quietIOError);
    });
}

}  // namespace

std::mutex& X11Connection::processWide() {
    // Never destroyed: connections kept in statics close during exit.
    static std::mutex& mutex = *new std::mutex;
    return mutex;
}

std::unique_ptr<X11Connection> X11Connection::open() {
    installHandlers();
    Display* display = nullptr;
    {
        // Opening and closing touch Xlib's process-wide lists; one at a time.
        std::lock_guard lock(processWide());
        display = XOpenDisplay(nullptr);
    }
    if (display == nullptr) return nullptr;
    return std::unique_ptr<X11Connection>(new X11Connection(display));
}

X11Connection::X11Connection(Display* display) : display_(display) { XSetIOErrorExitHandler(display_, onLost, this); }

X11Connection::~X11Connection() {
    std::lock_guard lock(processWide());
    XCloseDisplay(display_);
}

void X11Connection::onLost(Display*, void* self) { static_cast<X11Connection*>(self)->broken_ = true; }

void X11Connection::trapErrors() { lastError = 0; }

bool X11Connection::synced() {
    if (broken()) return false;
    XSync(display_, False);
    return !broken() && lastError == 0;
}

}  // namespace veltrane::x11
