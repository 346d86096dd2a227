#include "platform/display/ScreenOutputs.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstring>

#include "platform/x11/X11Connection.h"

namespace veltrane::display {
namespace {

constexpr std::size_t kEDIDBlockSize = 128;
constexpr unsigned char kEDIDHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr std::size_t kDescriptorOffsets[] = {54, 72, 90, 108};
constexpr unsigned char kMonitorNameTag = 0xFC;

std::string outputEDID(Display* d, RROutput output, Atom edidAtom) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string edid;
    if (XRRGetOutputProperty(d, output, edidAtom, 0, 256, False, False, AnyPropertyType, &type, &format, &count,
                             &after, &data) == Success &&
        format == 8 && data != nullptr)
        edid.assign(reinterpret_cast<char*>(data), count);
    if (data != nullptr) XFree(data);
    return edid;
}

}  // namespace

bool ScreenOutputs::isBuiltinConnector(std::string_view connector) {
    for (std::string_view prefix : {"eDP", "LVDS", "DSI"})
        if (connector.substr(0, prefix.size()) == prefix) return true;
    return false;
}

std::string ScreenOutputs::edidMonitorName(std::string_view edid) {
    if (edid.size() < kEDIDBlockSize || std::memcmp(edid.data(), kEDIDHeader, sizeof kEDIDHeader) != 0) return {};
    for (std::size_t offset : kDescriptorOffsets) {
        auto d = reinterpret_cast<const unsigned char*>(edid.data() + offset);
        // A display descriptor starts with three zero bytes, then its tag.
        if (d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != kMonitorNameTag) continue;
        std::string name(reinterpret_cast<const char*>(d + 5), 13);
        name = name.substr(0, name.find('\n'));
        while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) name.pop_back();
        // The field is ASCII; anything else is noise that would break JSON text.
        if (std::any_of(name.begin(), name.end(), [](char c) { return c < 0x20 || c > 0x7E; })) return {};
        return name;
    }
    return {};
}

std::optional<std::vector<ScreenOutput>> ScreenOutputs::list() {
    auto x = x11::X11Connection::open();
    if (!x) return std::nullopt;
    Display* d = x->display();
    std::vector<ScreenOutput> outputs;
    int eventBase = 0, errorBase = 0;
    if (!x->settingUp([&](Display* d) { return XRRQueryExtension(d, &eventBase, &errorBase); })) return outputs;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(d, x->root());
    if (resources == nullptr) return outputs;
    const RROutput primary = XRRGetOutputPrimary(d, x->root());
    const Atom edidAtom = XInternAtom(d, RR_PROPERTY_RANDR_EDID, True);
    for (int i = 0; i < resources->noutput; ++i) {
        XRROutputInfo* info = XRRGetOutputInfo(d, resources, resources->outputs[i]);
        if (info == nullptr) continue;
        if (info->connection == RR_Connected && info->crtc != None) {
            ScreenOutput output;
            output.id = static_cast<std::uint32_t>(resources->outputs[i]);
            output.connector.assign(info->name, static_cast<std::size_t>(info->nameLen));
            output.builtin = isBuiltinConnector(output.connector);
            if (edidAtom != None) output.monitorName = edidMonitorName(outputEDID(d, resources->outputs[i], edidAtom));
            if (resources->outputs[i] == primary)
                outputs.insert(outputs.begin(), std::move(output));
            else
                outputs.push_back(std::move(output));
        }
        XRRFreeOutputInfo(info);
    }
    XRRFreeScreenResources(resources);
    return outputs;
}

}  // namespace veltrane::display
