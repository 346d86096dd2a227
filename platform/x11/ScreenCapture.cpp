#include "platform/x11/ScreenCapture.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>

#include "platform/x11/X11Connection.h"

namespace veltrane::x11 {
namespace {

struct Area {
    int x = 0, y = 0;
    unsigned width = 0, height = 0;
};

std::optional<Window> activeWindow(X11Connection& x) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    x.trapErrors();
    int status = XGetWindowProperty(x.display(), x.root(), x.atom("_NET_ACTIVE_WINDOW"), 0, 1, False, XA_WINDOW,
                                    &type, &format, &count, &after, &data);
    std::optional<Window> window;
    if (status == Success && type == XA_WINDOW && format == 32 && count == 1 && data != nullptr) {
        Window w = *reinterpret_cast<Window*>(data);  // format 32 items are longs
        if (w != None) window = w;
    }
    if (data != nullptr) XFree(data);
    return window;
}

// The window's top-level ancestor (its frame under a reparenting window
// manager), in root coordinates and clipped to the screen.
std::optional<Area> windowArea(X11Connection& x, Window window, const Area& screen) {
    Display* d = x.display();
    x.trapErrors();
    for (;;) {
        Window root = None, parent = None, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(d, window, &root, &parent, &children, &count)) return std::nullopt;
        if (children != nullptr) XFree(children);
        if (parent == root || parent == None) break;
        window = parent;
    }
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, window, &attributes) || attributes.map_state != IsViewable) return std::nullopt;
    long left = std::max<long>(attributes.x, 0);
    long top = std::max<long>(attributes.y, 0);
    long right = std::min<long>(attributes.x + attributes.width + 2L * attributes.border_width, screen.width);
    long bottom = std::min<long>(attributes.y + attributes.height + 2L * attributes.border_width, screen.height);
    if (right <= left || bottom <= top) return std::nullopt;
    return Area{static_cast<int>(left), static_cast<int>(top), static_cast<unsigned>(right - left),
                static_cast<unsigned>(bottom - top)};
}

std::uint8_t channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return 0;
    int shift = std::countr_zero(mask);
    unsigned long value = (pixel & mask) >> shift;
    unsigned long max = mask >> shift;
    return static_cast<std::uint8_t>((value * 255 + max / 2) / max);
}

image::RGBAImage toRGBA(XImage* ximage) {
    image::RGBAImage out{ximage->width, ximage->height,
                         std::vector<std::uint8_t>(static_cast<std::size_t>(ximage->width) * ximage->height * 4)};
    const bool common = ximage->bits_per_pixel == 32 && ximage->byte_order == LSBFirst &&
                        ximage->red_mask == 0xff0000 && ximage->green_mask == 0xff00 && ximage->blue_mask == 0xff;
    for (int y = 0; y < ximage->height; ++y) {
        std::uint8_t* dst = &out.pixels[static_cast<std::size_t>(y) * ximage->width * 4];
        if (common) {
            const auto* row =
                reinterpret_cast<const std::uint8_t*>(ximage->data + static_cast<long>(y) * ximage->bytes_per_line);
            for (int i = 0; i < ximage->width; ++i, row += 4, dst += 4) {
                dst[0] = row[2];
                dst[1] = row[1];
                dst[2] = row[0];
                dst[3] = 255;
            }
            continue;
        }
        for (int i = 0; i < ximage->width; ++i, dst += 4) {
            unsigned long pixel = XGetPixel(ximage, i, y);
            dst[0] = channel(pixel, ximage->red_mask);
            dst[1] = channel(pixel, ximage->green_mask);
            dst[2] = channel(pixel, ximage->blue_mask);
            dst[3] = 255;
        }
    }
    return out;
}

}  // namespace

std::optional<image::RGBAImage> ScreenCapture::capture(bool wantWindow) {
    auto x = X11Connection::open();
    if (!x) return std::nullopt;
    Display* d = x->display();
    const Area screen{0, 0, static_cast<unsigned>(DisplayWidth(d, DefaultScreen(d))),
                      static_cast<unsigned>(DisplayHeight(d, DefaultScreen(d)))};
    Area area = screen;
    if (wantWindow)
        if (auto window = activeWindow(*x))
            if (auto framed = windowArea(*x, *window, screen)) area = *framed;

    // Only true-colour visuals carry their colours in the pixel masks.
    Visual* visual = DefaultVisual(d, DefaultScreen(d));
    if (visual->c_class != TrueColor && visual->c_class != DirectColor) return std::nullopt;
    x->trapErrors();
    XImage* ximage = XGetImage(d, x->root(), area.x, area.y, area.width, area.height, AllPlanes, ZPixmap);
    if (ximage == nullptr) return std::nullopt;
    if (ximage->red_mask == 0) {
        ximage->red_mask = visual->red_mask;
        ximage->green_mask = visual->green_mask;
        ximage->blue_mask = visual->blue_mask;
    }
    auto result = toRGBA(ximage);
    XDestroyImage(ximage);
    return result;
}

bool ScreenCapture::writePNG(bool activeWindow, const std::filesystem::path& file) {
    auto captured = capture(activeWindow);
    if (!captured) return false;
    auto png = image::PNGImage::encode(*captured);
    if (!png) return false;
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const char* data = png->data();
    std::size_t left = png->size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    if (!ok) ::unlink(file.c_str());
    return ok;
}

}  // namespace veltrane::x11
