#include "platform/display/ScreenOutputs.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

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

namespace {

std::vector<ScreenOutput> readOutputs(x11::X11Connection& x) {
    Display* d = x.display();
    std::vector<ScreenOutput> outputs;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(d, x.root());
    if (resources == nullptr) return outputs;
    const RROutput primary = XRRGetOutputPrimary(d, x.root());
    const Atom edidAtom = XInternAtom(d, RR_PROPERTY_RANDR_EDID, True);
    for (int i = 0; i < resources->noutput; ++i) {
        XRROutputInfo* info = XRRGetOutputInfo(d, resources, resources->outputs[i]);
        if (info == nullptr) continue;
        if (info->connection == RR_Connected && info->crtc != None) {
            ScreenOutput output;
            output.id = static_cast<std::uint32_t>(resources->outputs[i]);
            output.connector.assign(info->name, static_cast<std::size_t>(info->nameLen));
            output.builtin = ScreenOutputs::isBuiltinConnector(output.connector);
            if (edidAtom != None)
                output.monitorName = ScreenOutputs::edidMonitorName(outputEDID(d, resources->outputs[i], edidAtom));
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

// The state lists the outputs every time it is built, and opening a
// connection for each list cost more than the rest of the state together
// (25 ms against Xvfb). One connection is kept, with the list it last read;
// RandR tells it of every change to screens, outputs, CRTCs and output
// properties, and any such event, a lost connection or another $DISPLAY
// makes the next call read the list again.
class WatchedOutputs {
public:
    std::optional<std::vector<ScreenOutput>> list() {
        std::lock_guard lock(mutex_);
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr) {
            forget();
            return std::nullopt;
        }
        // A kept connection may turn out lost only now; a second try opens a
        // new one (another server may answer at the same $DISPLAY).
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!connection_ || connection_->broken() || display_ != display) {
                forget();
                if (!watch(display)) return std::nullopt;
            }
            if (changed() || !outputs_) outputs_ = readOutputs(*connection_);
            if (!connection_->broken()) return outputs_;
            forget();
        }
        return std::nullopt;
    }

private:
    void forget() {
        connection_.reset();
        outputs_.reset();
    }

    // Opens a connection and asks for RandR's change events, before any read
    // so that no change can fall between the two; false when no server
    // answers. A server without RandR keeps an empty list (no event comes to
    // make it read again).
    bool watch(const char* display) {
        connection_ = x11::X11Connection::open();
        if (!connection_) return false;
        display_ = display;
        int eventBase = 0, errorBase = 0;
        if (!connection_->settingUp([&](Display* d) { return XRRQueryExtension(d, &eventBase, &errorBase); })) {
            outputs_ = std::vector<ScreenOutput>{};
            return true;
        }
        XRRSelectInput(
            connection_->display(), connection_->root(),
            RRScreenChangeNotifyMask | RROutputChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputPropertyNotifyMask);
        return true;
    }

    // Whether any change event has come since the last call; takes them all.
    // Only RandR's events are asked for on this connection.
    bool changed() {
        Display* d = connection_->display();
        bool any = false;
        while (!connection_->broken() && XEventsQueued(d, QueuedAfterReading) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            any = true;
        }
        return any;
    }

    std::mutex mutex_;
    std::unique_ptr<x11::X11Connection> connection_;
    std::string display_;
    std::optional<std::vector<ScreenOutput>> outputs_;
};

}  // namespace

std::optional<std::vector<ScreenOutput>> ScreenOutputs::list() {
    // Never destroyed: a state may be built while the process exits.
    static WatchedOutputs& watched = *new WatchedOutputs;
    return watched.list();
}

}  // namespace veltrane::display
