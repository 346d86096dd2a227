#include "platform/x11/ClipboardSelection.h"

#include <X11/Xatom.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <future>
#include <vector>

#include "platform/x11/X11Connection.h"

namespace veltrane::x11 {
namespace {

using Clock = std::chrono::steady_clock;

// Text handed to us by another program is not kept past this size.
constexpr std::size_t kMaxReadBytes = 16 * 1024 * 1024;

std::string latin1ToUTF8(const std::string& latin1) {
    std::string out;
    out.reserve(latin1.size());
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// None when the text has characters beyond Latin-1.
std::optional<std::string> utf8ToLatin1(const std::string& utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
            out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
        } else {
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace

struct ClipboardSelection::Request {
    enum class Kind { read, write };
    struct Result {
        bool ok = false;
        std::optional<std::string> text;
    };
    Kind kind = Kind::read;
    std::string text;
    std::promise<Result> promise;
    void finish(bool ok, std::optional<std::string> text = std::nullopt) {
        promise.set_value(Result{ok, std::move(text)});
    }
};

class ClipboardSelection::Worker {
public:
    static std::shared_ptr<Worker> start() {
        auto x = X11Connection::open();
        if (!x) return nullptr;
        int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake < 0) return nullptr;
        auto worker = std::shared_ptr<Worker>(new Worker(std::move(x), wake));
        worker->thread_ = std::thread([w = worker.get()] { w->run(); });
        return worker;
    }

    ~Worker() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake();
        if (thread_.joinable()) thread_.join();
        ::close(wakeFd_);
    }

    // False when the thread has ended (the server went away); the request
    // is then untouched.
    bool post(std::shared_ptr<Request> request) {
        {
            std::lock_guard lock(mutex_);
            if (finished_) return false;
            queue_.push_back(std::move(request));
        }
        wake();
        return true;
    }

private:
    struct Atoms {
        Atom clipboard, utf8, targets, timestamp, text, incr, mimeUTF8, property, clock;
    };

    struct PendingRead {
        std::shared_ptr<Request> request;
        Clock::time_point deadline;
        Atom target = None;
        bool incremental = false;
        std::string received;
    };

    Worker(std::unique_ptr<X11Connection> x, int wakeFd) : x_(std::move(x)), wakeFd_(wakeFd) {
        Display* d = x_->display();
        atoms_ = {x_->atom("CLIPBOARD"), x_->atom("UTF8_STRING"), x_->atom("TARGETS"),
                  x_->atom("TIMESTAMP"), x_->atom("TEXT"),        x_->atom("INCR"),
                  x_->atom("text/plain;charset=utf-8"), x_->atom("VELTRANE_SELECTION"),
                  x_->atom("VELTRANE_CLOCK")};
        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        window_ = XCreateWindow(d, x_->root(), -10, -10, 1, 1, 0, CopyFromParent, InputOnly, CopyFromParent,
                                CWEventMask, &attributes);
        long units = XExtendedMaxRequestSize(d);
        if (units == 0) units = XMaxRequestSize(d);
        maxPropertyBytes_ = static_cast<std::size_t>(units) * 4 - 1024;
        XFlush(d);
    }

    void wake() {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    }

    void run() {
        Display* d = x_->display();
        for (;;) {
            while (!x_->broken() && XPending(d) > 0) {
                XEvent event;
                XNextEvent(d, &event);
                handle(event);
            }
            if (x_->broken()) break;
            if (read_ && Clock::now() >= read_->deadline) completeRead(std::nullopt);

            // One read at a time; the rest wait their turn, in order.
            bool handled = false;
            while (!read_) {
                std::shared_ptr<Request> request;
                {
                    std::lock_guard lock(mutex_);
                    if (stopping_ || queue_.empty()) break;
                    request = std::move(queue_.front());
                    queue_.pop_front();
                }
                handled = true;
                if (request->kind == Request::Kind::write)
                    request->finish(take(request->text));
                else
                    beginRead(std::move(request));
            }
            {
                std::lock_guard lock(mutex_);
                if (stopping_) break;
            }
            if (handled) continue;  // handling may have queued events

            XFlush(d);
            pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            int timeout = -1;
            if (read_) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(read_->deadline - Clock::now());
                timeout = static_cast<int>(std::max<long long>(0, left.count()) + 1);
            }
            ::poll(fds, 2, timeout);
            if (fds[1].revents & POLLIN) {
                std::uint64_t count;
                [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
            }
        }
        finish();
    }

    void finish() {
        if (read_) completeRead(std::nullopt);
        std::deque<std::shared_ptr<Request>> left;
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
            left.swap(queue_);
        }
        for (auto& request : left) request->finish(false);
        if (!x_->broken()) {
            XDestroyWindow(x_->display(), window_);
            XFlush(x_->display());
        }
        x_.reset();
    }

    // --- owning the selection ---

    // A server timestamp, as the selection rules ask for instead of
    // CurrentTime: append nothing to a property of ours and read the time of
    // the change.
    std::optional<Time> serverTime() {
        Display* d = x_->display();
        XChangeProperty(d, window_, atoms_.clock, XA_INTEGER, 32, PropModeAppend, nullptr, 0);
        XFlush(d);
        const auto deadline = Clock::now() + kWriteTimeout;
        for (;;) {
            XEvent event;
            auto isClock = [](Display*, XEvent* e, XPointer arg) -> Bool {
                auto* self = reinterpret_cast<Worker*>(arg);
                return e->type == PropertyNotify && e->xproperty.window == self->window_ &&
                       e->xproperty.atom == self->atoms_.clock;
            };
            if (XCheckIfEvent(d, &event, isClock, reinterpret_cast<XPointer>(this))) return event.xproperty.time;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (x_->broken() || left.count() <= 0) return std::nullopt;
            pollfd fd{ConnectionNumber(d), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left.count()) + 1);
            XPending(d);  // reads what arrived into the queue
        }
    }

    bool take(const std::string& text) {
        if (text.size() > maxPropertyBytes_) return false;
        auto time = serverTime();
        if (!time) return false;
        Display* d = x_->display();
        XSetSelectionOwner(d, atoms_.clipboard, window_, *time);
        if (XGetSelectionOwner(d, atoms_.clipboard) != window_) return false;
        owned_ = text;
        ownedSince_ = *time;
        return true;
    }

    void serve(const XSelectionRequestEvent& request) {
        Display* d = x_->display();
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = d;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = None;
        // Obsolete clients name no property: the target stands in for it.
        const Atom property = request.property != None ? request.property : request.target;

        x_->trapErrors();
        if (owned_ && request.selection == atoms_.clipboard &&
            (request.time == CurrentTime || request.time >= ownedSince_)) {
            const Atom target = request.target;
            bool answered = true;
            if (target == atoms_.targets) {
                Atom list[] = {atoms_.targets, atoms_.timestamp, atoms_.utf8, atoms_.mimeUTF8, atoms_.text, XA_STRING};
                XChangeProperty(d, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<unsigned char*>(list), static_cast<int>(std::size(list)));
            } else if (target == atoms_.timestamp) {
                long time = static_cast<long>(ownedSince_);
                XChangeProperty(d, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                                reinterpret_cast<unsigned char*>(&time), 1);
            } else if (target == atoms_.utf8 || target == atoms_.mimeUTF8 || target == atoms_.text) {
                XChangeProperty(d, request.requestor, property, target == atoms_.text ? atoms_.utf8 : target, 8,
                                PropModeReplace, reinterpret_cast<const unsigned char*>(owned_->data()),
                                static_cast<int>(owned_->size()));
            } else if (auto latin1 = target == XA_STRING ? utf8ToLatin1(*owned_) : std::nullopt) {
                XChangeProperty(d, request.requestor, property, XA_STRING, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(latin1->data()),
                                static_cast<int>(latin1->size()));
            } else {
                answered = false;
            }
            if (answered) reply.property = property;
        }
        XEvent event{};
        event.xselection = reply;
        XSendEvent(d, request.requestor, False, NoEventMask, &event);
        XFlush(d);
    }

    // --- reading another program's selection ---

    void beginRead(std::shared_ptr<Request> request) {
        Display* d = x_->display();
        Window owner = XGetSelectionOwner(d, atoms_.clipboard);
        if (owner == None) return request->finish(true, std::nullopt);
        if (owner == window_) {
            if (owned_) return request->finish(true, owned_);
            return request->finish(true, std::nullopt);
        }
        read_ = PendingRead{std::move(request), Clock::now() + kReadTimeout, atoms_.utf8, false, {}};
        XDeleteProperty(d, window_, atoms_.property);
        XConvertSelection(d, atoms_.clipboard, atoms_.utf8, atoms_.property, window_, CurrentTime);
    }

    void completeRead(std::optional<std::string> text) {
        auto request = std::move(read_->request);
        read_.reset();
        request->finish(true, std::move(text));
    }

    struct Property {
        Atom type = None;
        std::string bytes;
    };

    std::optional<Property> takeProperty() {
        Display* d = x_->display();
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        x_->trapErrors();
        int status = XGetWindowProperty(d, window_, atoms_.property, 0, LONG_MAX / 4, True, AnyPropertyType, &type,
                                        &format, &count, &after, &data);
        std::optional<Property> result;
        if (status == Success && (format == 8 || type == atoms_.incr))
            result = Property{type, format == 8 ? std::string(reinterpret_cast<char*>(data), count) : std::string()};
        if (data != nullptr) XFree(data);
        return result;
    }

    std::optional<std::string> decoded(Atom type, std::string bytes) {
        if (type == XA_STRING) return latin1ToUTF8(bytes);
        if (type == atoms_.utf8 || type == atoms_.mimeUTF8) return bytes;
        return std::nullopt;
    }

    void onSelectionNotify(const XSelectionEvent& event) {
        if (!read_ || event.requestor != window_ || event.selection != atoms_.clipboard) return;
        if (event.property == None) {
            if (read_->target == atoms_.utf8) {  // an older owner may still offer Latin-1
                read_->target = XA_STRING;
                XConvertSelection(x_->display(), atoms_.clipboard, XA_STRING, atoms_.property, window_, CurrentTime);
                return;
            }
            return completeRead(std::nullopt);
        }
        auto property = takeProperty();  // deleting it tells an incremental sender to go on
        if (!property) return completeRead(std::nullopt);
        if (property->type == atoms_.incr) {
            read_->incremental = true;
            return;
        }
        if (property->bytes.size() > kMaxReadBytes) return completeRead(std::nullopt);
        completeRead(decoded(property->type, std::move(property->bytes)));
    }

    void onPropertyNotify(const XPropertyEvent& event) {
        if (!read_ || !read_->incremental || event.window != window_ || event.atom != atoms_.property ||
            event.state != PropertyNewValue)
            return;
        auto chunk = takeProperty();
        if (!chunk) return completeRead(std::nullopt);
        if (chunk->bytes.empty()) return completeRead(decoded(chunk->type, std::move(read_->received)));
        if (read_->received.size() + chunk->bytes.size() > kMaxReadBytes) return completeRead(std::nullopt);
        read_->received += chunk->bytes;
        read_->deadline = Clock::now() + kReadTimeout;  // a sender that keeps going is not late
    }

    void handle(const XEvent& event) {
        switch (event.type) {
            case SelectionRequest: serve(event.xselectionrequest); break;
            case SelectionClear:
                if (event.xselectionclear.selection == atoms_.clipboard) owned_.reset();
                break;
            case SelectionNotify: onSelectionNotify(event.xselection); break;
            case PropertyNotify: onPropertyNotify(event.xproperty); break;
            default: break;
        }
    }

    std::unique_ptr<X11Connection> x_;
    int wakeFd_;
    Window window_ = None;
    Atoms atoms_{};
    std::size_t maxPropertyBytes_ = 0;
    std::thread thread_;

    std::mutex mutex_;
    std::deque<std::shared_ptr<Request>> queue_;
    bool stopping_ = false;
    bool finished_ = false;

    // Used by the thread only.
    std::optional<std::string> owned_;
    Time ownedSince_ = CurrentTime;
    std::optional<PendingRead> read_;
};

ClipboardSelection::ClipboardSelection() = default;

ClipboardSelection::~ClipboardSelection() {
    std::lock_guard lock(mutex_);
    worker_.reset();
}

std::optional<std::string> ClipboardSelection::submit(std::shared_ptr<Request> request,
                                                      std::chrono::milliseconds timeout) {
    auto future = request->promise.get_future();
    {
        std::lock_guard lock(mutex_);
        // A worker whose server went away has ended: start over with a new
        // connection.
        if (!worker_ || !worker_->post(request)) {
            worker_ = Worker::start();
            if (!worker_ || !worker_->post(request)) return std::nullopt;
        }
    }
    // The worker answers every request by its own deadline; this wait only
    // guards against a hang.
    if (future.wait_for(timeout + std::chrono::seconds(5)) != std::future_status::ready) return std::nullopt;
    auto result = future.get();
    if (!result.ok) return std::nullopt;
    return request->kind == Request::Kind::write ? std::optional<std::string>("") : std::move(result.text);
}

std::optional<std::string> ClipboardSelection::read() {
    auto request = std::make_shared<Request>();
    request->kind = Request::Kind::read;
    return submit(std::move(request), kReadTimeout);
}

bool ClipboardSelection::write(const std::string& text) {
    auto request = std::make_shared<Request>();
    request->kind = Request::Kind::write;
    request->text = text;
    return submit(std::move(request), kWriteTimeout).has_value();
}

}  // namespace veltrane::x11
