#include "ControlDeckCore/adapters/AdapterSet.h"

#include "ControlDeckCore/adapters/FakeAppLauncher.h"
#include "ControlDeckCore/adapters/FakeBrightnessAdapter.h"
#include "ControlDeckCore/adapters/FakeClipboard.h"
#include "ControlDeckCore/adapters/FakeLinks.h"
#include "ControlDeckCore/adapters/FakeLock.h"
#include "ControlDeckCore/adapters/FakeMediaAdapter.h"
#include "ControlDeckCore/adapters/FakeNetworkSampler.h"
#include "ControlDeckCore/adapters/FakeNotifier.h"
#include "ControlDeckCore/adapters/FakeScreenshot.h"
#include "ControlDeckCore/adapters/FakeShortcuts.h"
#include "ControlDeckCore/adapters/FakeSystemSampler.h"
#include "ControlDeckCore/adapters/FakeVolumeAdapter.h"
#include "ControlDeckCore/adapters/MacNetworkSampler.h"
#include "ControlDeckCore/adapters/MacSystemSampler.h"
#include "ControlDeckCore/adapters/MacVolumeAdapter.h"
#include "ControlDeckCore/adapters/UnavailableAdapters.h"

namespace veltrane::deck {

AdapterSet AdapterSet::mac() {
    return {
        MacVolumeAdapter::create(),
        std::make_shared<UnavailableMediaAdapter>(),
        std::make_shared<UnavailableAppLauncher>(),
        std::make_shared<MacSystemSampler>(),
        MacNetworkSampler::create(),
        std::make_shared<UnavailableScreenshot>(),
        std::make_shared<UnavailableLock>(),
        std::make_shared<UnavailableClipboard>(),
        std::make_shared<UnavailableShortcuts>(),
        std::make_shared<UnavailableLinks>(),
        std::make_shared<UnavailableNotifier>(),
        std::make_shared<UnavailableBrightnessAdapter>(),
    };
}

AdapterSet AdapterSet::fake() {
    return {
        std::make_shared<FakeVolumeAdapter>(),
        std::make_shared<FakeMediaAdapter>(),
        std::make_shared<FakeAppLauncher>(),
        std::make_shared<FakeSystemSampler>(),
        std::make_shared<FakeNetworkSampler>(),
        std::make_shared<FakeScreenshot>(),
        std::make_shared<FakeLock>(),
        std::make_shared<FakeClipboard>(),
        std::make_shared<FakeShortcuts>(),
        std::make_shared<FakeLinks>(),
        std::make_shared<FakeNotifier>(),
        std::make_shared<FakeBrightnessAdapter>(),
    };
}

}  // namespace veltrane::deck
