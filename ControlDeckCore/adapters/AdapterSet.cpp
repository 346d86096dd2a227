#include "ControlDeckCore/adapters/AdapterSet.h"

#include "ControlDeckCore/adapters/FakeAppLauncher.h"
#include "ControlDeckCore/adapters/FakeBrightnessAdapter.h"
#include "ControlDeckCore/adapters/FakeClipboard.h"
#include "ControlDeckCore/adapters/FakeFileManager.h"
#include "ControlDeckCore/adapters/FakeLinks.h"
#include "ControlDeckCore/adapters/FakeLock.h"
#include "ControlDeckCore/adapters/FakeMediaAdapter.h"
#include "ControlDeckCore/adapters/FakeNetworkSampler.h"
#include "ControlDeckCore/adapters/FakeNotifier.h"
#include "ControlDeckCore/adapters/FakeScreenshot.h"
#include "ControlDeckCore/adapters/FakeShortcuts.h"
#include "ControlDeckCore/adapters/FakeSystemSampler.h"
#include "ControlDeckCore/adapters/FakeVolumeAdapter.h"
#include "ControlDeckCore/adapters/MacAppLauncher.h"
#include "ControlDeckCore/adapters/MacBrightnessAdapter.h"
#include "ControlDeckCore/adapters/MacClipboard.h"
#include "ControlDeckCore/adapters/MacFileManager.h"
#include "ControlDeckCore/adapters/MacLinks.h"
#include "ControlDeckCore/adapters/MacLock.h"
#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "ControlDeckCore/adapters/MacNetworkSampler.h"
#include "ControlDeckCore/adapters/MacNotifier.h"
#include "ControlDeckCore/adapters/MacScreenshot.h"
#include "ControlDeckCore/adapters/MacShortcuts.h"
#include "ControlDeckCore/adapters/MacSystemSampler.h"
#include "ControlDeckCore/adapters/MacVolumeAdapter.h"

namespace veltrane::deck {

AdapterSet AdapterSet::mac() {
    return {
        MacVolumeAdapter::create(),
        MacMediaAdapter::create(/*startObservers=*/true),
        std::make_shared<MacAppLauncher>(),
        std::make_shared<MacSystemSampler>(),
        MacNetworkSampler::create(),
        std::make_shared<MacScreenshot>(),
        std::make_shared<MacLock>(),
        std::make_shared<MacClipboard>(),
        std::make_shared<MacShortcuts>(),
        std::make_shared<MacLinks>(),
        std::make_shared<MacNotifier>(),
        std::make_shared<MacBrightnessAdapter>(),
        std::make_shared<MacFileManager>(),
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
        std::make_shared<FakeFileManager>(),
    };
}

}  // namespace veltrane::deck
