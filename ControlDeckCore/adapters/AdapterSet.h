#pragma once
// The adapters through which the Control Deck acts on the computer: the
// twelve capabilities and the file manager that shows received files.
//
// `Mac…` adapters are the host computer's adapters. On Linux they are backed
// by the desktop's own services (PulseAudio, X11, D-Bus, GIO); they keep the
// names the rest of the system knows them by. `Fake…` adapters answer canned
// values in memory and touch nothing of the host.

#include <memory>

#include "ControlDeckCore/adapters/AppLaunching.h"
#include "ControlDeckCore/adapters/BrightnessControlling.h"
#include "ControlDeckCore/adapters/ClipboardAccessing.h"
#include "ControlDeckCore/adapters/FileRevealing.h"
#include "ControlDeckCore/adapters/LinkOpening.h"
#include "ControlDeckCore/adapters/Locking.h"
#include "ControlDeckCore/adapters/MediaControlling.h"
#include "ControlDeckCore/adapters/NetworkSampling.h"
#include "ControlDeckCore/adapters/ScreenshotCapturing.h"
#include "ControlDeckCore/adapters/ShortcutRunning.h"
#include "ControlDeckCore/adapters/SystemSampling.h"
#include "ControlDeckCore/adapters/TimerNotifying.h"
#include "ControlDeckCore/adapters/VolumeControlling.h"

namespace veltrane::deck {

// Copies share the adapter objects; any slot may be replaced.
struct AdapterSet {
    std::shared_ptr<VolumeControlling> volume;
    std::shared_ptr<MediaControlling> media;
    std::shared_ptr<AppLaunching> apps;
    std::shared_ptr<SystemSampling> system;
    std::shared_ptr<NetworkSampling> network;
    std::shared_ptr<ScreenshotCapturing> screenshot;
    std::shared_ptr<Locking> lock;
    std::shared_ptr<ClipboardAccessing> clipboard;
    std::shared_ptr<ShortcutRunning> shortcuts;
    std::shared_ptr<LinkOpening> links;
    std::shared_ptr<TimerNotifying> notifier;
    std::shared_ptr<BrightnessControlling> brightness;
    std::shared_ptr<FileRevealing> files;

    // The host computer's adapters. A capability without a host adapter yet
    // reports nothing (no outputs, nothing playing) and refuses actions; it
    // never shows the Fake set's invented values to a real user.
    static AdapterSet mac();
    // A new set of canned in-memory adapters; every call builds new objects.
    static AdapterSet fake();
};

}  // namespace veltrane::deck
