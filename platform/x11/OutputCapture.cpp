#include "platform/x11/OutputCapture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/video/PixelBufferPool.h"
#include "platform/video/PixelConverter.h"
#include "platform/x11/X11Connection.h"

namespace veltrane::x11 {

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

namespace {

struct CrtcRect {
    int x, y, width, height;
    bool operator==(const CrtcRect&) const = default;
};

// The rectangle of the root window that `output` shows; none when it has no
// CRTC or the CRTC shows nothing.
std::optional<CrtcRect> crtcRect(Display* display, Window root, RROutput output) {
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    if (resources == nullptr) return std::nullopt;
    std::optional<CrtcRect> rect;
    for (int i = 0; i < resources->noutput && !rect; ++i) {
        if (resources->outputs[i] != output) continue;
        XRROutputInfo* info = XRRGetOutputInfo(display, resources, output);
        if (info != nullptr && info->crtc != None) {
            XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, info->crtc);
            if (crtc != nullptr && crtc->mode != None && crtc->width > 0 && crtc->height > 0)
                rect = CrtcRect{crtc->x, crtc->y, static_cast<int>(crtc->width), static_cast<int>(crtc->height)};
            if (crtc != nullptr) XRRFreeCrtcInfo(crtc);
        }
        if (info != nullptr) XRRFreeOutputInfo(info);
    }
    XRRFreeScreenResources(resources);
    return rect;
}

// The memory of one shared image, kept mapped while a conversion reads it
// even after the capture thread has let go of the image.
struct Mapping {
    explicit Mapping(void* a) : address(a) {}
    ~Mapping() { shmdt(address); }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    void* address;
};

struct SharedImage {
    XShmSegmentInfo segment{};
    XImage* image = nullptr;
    std::shared_ptr<Mapping> mapping;
    std::shared_ptr<std::atomic<bool>> busy = std::make_shared<std::atomic<bool>>(false);
};

// Premultiplied ARGB over opaque BGRA.
void blendCursor(XFixesCursorImage* cursor, std::uint8_t* pixels, int stride, int width, int height, int left,
                 int top) {
    int x0 = cursor->x - cursor->xhot - left;
    int y0 = cursor->y - cursor->yhot - top;
    for (int cy = 0; cy < cursor->height; ++cy) {
        int y = y0 + cy;
        if (y < 0 || y >= height) continue;
        for (int cx = 0; cx < cursor->width; ++cx) {
            int x = x0 + cx;
            if (x < 0 || x >= width) continue;
            auto argb = static_cast<std::uint32_t>(cursor->pixels[cy * cursor->width + cx]);
            unsigned alpha = argb >> 24;
            if (alpha == 0) continue;
            std::uint8_t* p = pixels + static_cast<std::ptrdiff_t>(y) * stride + 4 * x;
            unsigned keep = 255 - alpha;
            p[0] = static_cast<std::uint8_t>((argb & 0xff) + (p[0] * keep + 127) / 255);
            p[1] = static_cast<std::uint8_t>(((argb >> 8) & 0xff) + (p[1] * keep + 127) / 255);
            p[2] = static_cast<std::uint8_t>(((argb >> 16) & 0xff) + (p[2] * keep + 127) / 255);
        }
    }
}

// What the conversions on the handler queue share. Converted pictures go
// to the encoder and come back to the pool when it is done with them; only
// the target rectangle is written, so the borders stay black until the
// target moves (the output changed size) and a fresh pool is taken.
struct Converter {
    static constexpr std::size_t kPictures = 8;
    Converter(int width, int height, OutputCapture::FrameHandler handler)
        : pool(std::make_unique<video::PixelBufferPool>(width, height, kPictures)), onFrame(std::move(handler)) {}

    std::shared_ptr<video::PixelBuffer> take(const video::Rect& target) {
        if (target != lastTarget) {
            pool = std::make_unique<video::PixelBufferPool>(pool->width(), pool->height(), kPictures);
            lastTarget = target;
        }
        return pool->take();
    }

    video::PixelConverter converter;
    std::unique_ptr<video::PixelBufferPool> pool;
    video::Rect lastTarget;  // {} until the first picture
    OutputCapture::FrameHandler onFrame;
};

}  // namespace

class OutputCapture::Grabber : public std::enable_shared_from_this<OutputCapture::Grabber> {
public:
    Grabber(CaptureConfiguration configuration, std::shared_ptr<dispatch::DispatchQueue> queue, FrameHandler onFrame,
            StopHandler onStop)
        : configuration_(configuration),
          queue_(std::move(queue)),
          converter_(std::make_shared<Converter>(configuration.width, configuration.height, std::move(onFrame))),
          onStop_(std::move(onStop)) {}

    ~Grabber() {
        releaseImages();
    }

    void start() {
        connection_ = X11Connection::open();
        if (connection_ == nullptr) throw CaptureFailure("Cannot open the X display");
        Display* display = connection_->display();
        int eventBase = 0, errorBase = 0;
        bool shm = false, randr = false;
        connection_->settingUp([&](Display* d) {
            shm = XShmQueryExtension(d);
            randr = XRRQueryExtension(d, &randrEvent_, &errorBase);
            cursor_ = configuration_.showsCursor && XFixesQueryExtension(d, &eventBase, &errorBase);
        });
        if (!shm) throw CaptureFailure("The X server has no MIT-SHM extension");
        if (!randr) throw CaptureFailure("The X server has no RandR extension");
        auto rect = crtcRect(display, connection_->root(), configuration_.outputID);
        if (!rect) throw CaptureFailure("Display " + std::to_string(configuration_.outputID) + " is switched off");
        place(*rect);
        XRRSelectInput(display, connection_->root(),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        makeImages();
        // Detached and holding the grabber: the process may end (or the
        // capture be dropped) from this very thread, after a stop it caused.
        started_ = true;
        std::thread([self = shared_from_this()] {
            pthread_setname_np(pthread_self(), "halvorn.grab");
            {
                std::lock_guard lock(self->mutex_);
                self->threadID_ = std::this_thread::get_id();
            }
            self->run();
            {
                std::lock_guard lock(self->mutex_);
                self->finished_ = true;
            }
            self->wake_.notify_all();
        }).detach();
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
    }

    // Waits for the capture thread to end, unless called from it.
    void join() {
        stop();
        if (!started_) return;
        std::unique_lock lock(mutex_);
        if (threadID_ == std::this_thread::get_id()) return;
        wake_.wait(lock, [&] { return finished_; });
    }

private:
    // What of the output is grabbed and where it lands in the pictures.
    void place(const CrtcRect& output) {
        output_ = output;
        video::SourceRect source =
            configuration_.sourceRect.value_or(video::SourceRect{0, 0, output.width, output.height});
        placement_ =
            video::placeSource(source, output.width, output.height, configuration_.width, configuration_.height);
    }

    void makeImages() {
        // Nothing of the output shows: no images, black pictures.
        if (placement_.capture.width == 0) return;
        Display* display = connection_->display();
        Screen* screen = DefaultScreenOfDisplay(display);
        for (int i = 0; i < configuration_.queueDepth; ++i) {
            // The image refers to its segment record: both stay where they are.
            auto owned = std::make_unique<SharedImage>();
            SharedImage& image = *owned;
            image.image = XShmCreateImage(display, DefaultVisualOfScreen(screen), DefaultDepthOfScreen(screen), ZPixmap,
                                          nullptr, &image.segment, placement_.capture.width, placement_.capture.height);
            if (image.image == nullptr) throw CaptureFailure("XShmCreateImage failed");
            if (image.image->bits_per_pixel != 32) {
                XDestroyImage(image.image);
                throw CaptureFailure("The X screen is not 32 bits a pixel");
            }
            image.segment.shmid =
                shmget(IPC_PRIVATE, static_cast<std::size_t>(image.image->bytes_per_line) * image.image->height,
                       IPC_CREAT | 0600);
            if (image.segment.shmid < 0) {
                XDestroyImage(image.image);
                throw CaptureFailure("shmget failed");
            }
            void* address = shmat(image.segment.shmid, nullptr, 0);
            if (address == reinterpret_cast<void*>(-1)) {
                shmctl(image.segment.shmid, IPC_RMID, nullptr);
                XDestroyImage(image.image);
                throw CaptureFailure("shmat failed");
            }
            image.mapping = std::make_shared<Mapping>(address);
            image.segment.shmaddr = image.image->data = static_cast<char*>(address);
            image.segment.readOnly = False;
            connection_->trapErrors();
            XShmAttach(display, &image.segment);
            bool attached = connection_->synced();
            // Marked for removal at once: the segment goes when the last user
            // (us or the server) lets go, even if we are killed.
            shmctl(image.segment.shmid, IPC_RMID, nullptr);
            if (!attached) {
                image.image->data = nullptr;
                XDestroyImage(image.image);
                throw CaptureFailure("XShmAttach failed");
            }
            images_.push_back(std::move(owned));
        }
    }

    void releaseImages() {
        for (auto& image : images_) {
            if (connection_ != nullptr && !connection_->broken()) XShmDetach(connection_->display(), &image->segment);
            image->image->data = nullptr;
            XDestroyImage(image->image);
        }
        images_.clear();
        if (connection_ != nullptr && !connection_->broken()) XSync(connection_->display(), False);
    }

    void fail(const std::string& why) {
        if (onStop_) onStop_(why);
    }

    // A RandR change: the output may be gone, off, or show another size.
    bool outputStillShown() {
        auto rect = crtcRect(connection_->display(), connection_->root(), configuration_.outputID);
        if (!rect) return false;
        if (rect->width != output_.width || rect->height != output_.height) {
            releaseImages();
            place(*rect);
            makeImages();
        }
        output_ = *rect;
        return true;
    }

    void run() {
        using namespace std::chrono;
        const nanoseconds period(1'000'000'000LL / configuration_.fps);
        auto next = steady_clock::now();
        Display* display = connection_->display();
        std::size_t turn = 0;
        try {
            for (;;) {
                {
                    std::unique_lock lock(mutex_);
                    if (wake_.wait_until(lock, next, [&] { return stopping_; })) return;
                }
                // A steady grid: a tick that came too late skips the ones it missed.
                auto now = steady_clock::now();
                next += period;
                if (now >= next) next += period * ((now - next) / period + 1);

                bool changed = false;
                while (!connection_->broken() && XPending(display) > 0) {
                    XEvent event;
                    XNextEvent(display, &event);
                    if (event.type >= randrEvent_ && event.type <= randrEvent_ + RRNotify) {
                        XRRUpdateConfiguration(&event);
                        changed = true;
                    }
                }
                if (connection_->broken()) return fail("the connection to the X server was lost");
                if (changed && !outputStillShown())
                    return fail("display " + std::to_string(configuration_.outputID) + " was switched off");

                if (configuration_.ready && !configuration_.ready()) continue;
                if (images_.empty()) {
                    hand(nullptr, nullptr, 0, monotonicNanoseconds());
                    continue;
                }
                SharedImage* image = nullptr;
                for (std::size_t i = 0; i < images_.size() && image == nullptr; ++i) {
                    auto& candidate = images_[(turn + i) % images_.size()];
                    if (!candidate->busy->load()) image = candidate.get();
                }
                if (image == nullptr) continue;  // every image still waits for conversion
                ++turn;
                connection_->trapErrors();
                const int left = output_.x + placement_.capture.x, top = output_.y + placement_.capture.y;
                if (!XShmGetImage(display, connection_->root(), image->image, left, top, AllPlanes)) {
                    if (connection_->broken()) return fail("the connection to the X server was lost");
                    continue;  // the screen is being reconfigured; the RandR notice follows
                }
                std::int64_t presentationTime = monotonicNanoseconds();
                auto* pixels = reinterpret_cast<std::uint8_t*>(image->image->data);
                int stride = image->image->bytes_per_line;
                if (cursor_) {
                    if (XFixesCursorImage* cursor = XFixesGetCursorImage(display)) {
                        blendCursor(cursor, pixels, stride, placement_.capture.width, placement_.capture.height, left,
                                    top);
                        XFree(cursor);
                    }
                }
                image->busy->store(true);
                hand(image, pixels, stride, presentationTime);
            }
        } catch (const CaptureFailure& failure) {
            fail(failure.what());
        }
    }

    // A captured image to convert, or none for a black picture.
    void hand(SharedImage* image, const std::uint8_t* pixels, int stride, std::int64_t presentationTime) {
        std::weak_ptr<Converter> weakConverter = converter_;
        std::shared_ptr<Mapping> mapping = image ? image->mapping : nullptr;
        std::shared_ptr<std::atomic<bool>> busy = image ? image->busy : nullptr;
        int width = placement_.capture.width, height = placement_.capture.height;
        video::Rect target = placement_.target;
        queue_->async([weakConverter, mapping, busy, pixels, stride, width, height, target, presentationTime] {
            auto converter = weakConverter.lock();
            auto buffer = converter ? converter->take(target) : nullptr;
            bool converted =
                buffer != nullptr &&
                (pixels == nullptr || converter->converter.convert(pixels, stride, width, height, *buffer, target));
            if (busy) busy->store(false);
            if (converted) converter->onFrame(std::move(buffer), presentationTime);
        });
    }

    CaptureConfiguration configuration_;
    std::shared_ptr<dispatch::DispatchQueue> queue_;
    std::shared_ptr<Converter> converter_;
    StopHandler onStop_;
    std::unique_ptr<X11Connection> connection_;  // on the capture thread once it runs
    std::vector<std::unique_ptr<SharedImage>> images_;          // on the capture thread once it runs
    CrtcRect output_{};                                         // on the capture thread once it runs
    video::SourcePlacement placement_{};                        // on the capture thread once it runs
    int randrEvent_ = 0;
    bool cursor_ = false;
    bool started_ = false;       // set before the thread starts
    std::thread::id threadID_;   // under mutex_
    bool finished_ = false;      // under mutex_
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // under mutex_
};

std::vector<std::uint32_t> OutputCapture::displayIDs() {
    auto connection = X11Connection::open();
    if (connection == nullptr) throw CaptureFailure("Cannot open the X display");
    Display* display = connection->display();
    std::vector<std::uint32_t> ids;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, connection->root());
    if (resources == nullptr) throw CaptureFailure("The X server has no RandR screen resources");
    for (int i = 0; i < resources->noutput; ++i) {
        XRROutputInfo* info = XRRGetOutputInfo(display, resources, resources->outputs[i]);
        if (info == nullptr) continue;
        if (info->crtc != None) ids.push_back(static_cast<std::uint32_t>(resources->outputs[i]));
        XRRFreeOutputInfo(info);
    }
    XRRFreeScreenResources(resources);
    return ids;
}

OutputCapture::OutputCapture(CaptureConfiguration configuration, std::shared_ptr<dispatch::DispatchQueue> queue,
                             FrameHandler onFrame, StopHandler onStop)
    : grabber_(std::make_shared<Grabber>(configuration, std::move(queue), std::move(onFrame), std::move(onStop))) {}

OutputCapture::~OutputCapture() { grabber_->join(); }

void OutputCapture::startCapture() { grabber_->start(); }

void OutputCapture::stopCapture() { grabber_->stop(); }

}  // namespace veltrane::x11
