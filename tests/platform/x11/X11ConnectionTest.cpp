#include <gtest/gtest.h>
// Xlib's macros (None, Bool) must come after GoogleTest.
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

#include <atomic>
#include <thread>

#include "platform/x11/X11Connection.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using x11::X11Connection;

// An extension's first call on a connection registers the connection in
// libXext's process-wide tables, and closing the last connection frees them.
// The media keys' connection sets up XTest while the state's outputs open
// and close connections of their own. Unserialised, this corrupts the heap
// within a few rounds.
TEST(X11Connection, ExtensionsSetUpWhileOtherConnectionsCloseLeaveTheHeapWhole) {
    std::string error;
    auto xvfb = veltrane::testing::XvfbServer::start(64, 64, error);
    ASSERT_TRUE(xvfb) << error;
    veltrane::testing::ScopedEnvironment environment;
    environment.set("DISPLAY", xvfb->display().c_str());

    constexpr int kRounds = 150;
    std::atomic<int> failures{0};
    auto outputs = [&] {
        for (int round = 0; round < kRounds; ++round) {
            auto x = X11Connection::open();
            int eventBase = 0, errorBase = 0;
            if (!x || !x->settingUp([&](Display* d) { return XRRQueryExtension(d, &eventBase, &errorBase); }))
                ++failures;
        }
    };
    auto keys = [&] {
        for (int round = 0; round < kRounds; ++round) {
            auto x = X11Connection::open();
            int eventBase = 0, errorBase = 0, major = 0, minor = 0;
            if (!x || !x->settingUp(
                          [&](Display* d) { return XTestQueryExtension(d, &eventBase, &errorBase, &major, &minor); }))
                ++failures;
        }
    };
    std::thread first(outputs), second(keys);
    first.join();
    second.join();
    EXPECT_EQ(failures.load(), 0);
}
