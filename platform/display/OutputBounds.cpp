#include "platform/display/OutputBounds.h"

#include <X11/extensions/Xrandr.h>


namespace veltrane::display {

std::optional<x11::Rect> outputBounds(x11::X11Connection& connection, std::uint32_t outputID) {
    x11::X11Connection* x = &connection;
    if (x->broken()) return std::nullopt;
    Display* d = x->display();
    int eventBase = 0, errorBase = 0;
    if (!x->settingUp([&](Display* d) { return XRRQueryExtension(d, &eventBase, &errorBase); })) return std::nullopt;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(d, x->root());
    if (!resources) return std::nullopt;
    std::optional<x11::Rect> bounds;
    for (int i = 0; i < resources->noutput && !bounds; ++i) {
        if (resources->outputs[i] != outputID) continue;
        XRROutputInfo* info = XRRGetOutputInfo(d, resources, resources->outputs[i]);
        if (!info) break;
        if (info->crtc != None) {
            if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(d, resources, info->crtc)) {
                if (crtc->width > 0 && crtc->height > 0)
                    bounds = x11::Rect{crtc->x, crtc->y, static_cast<int>(crtc->width), static_cast<int>(crtc->height)};
                XRRFreeCrtcInfo(crtc);
            }
        }
        XRRFreeOutputInfo(info);
    }
    XRRFreeScreenResources(resources);
    return bounds;
}

}  // namespace veltrane::display
