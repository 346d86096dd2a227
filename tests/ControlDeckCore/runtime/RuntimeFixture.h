#pragma once
// A runtime on the Fake adapters, listening on a free loopback port with a
// fresh data directory, and helpers to pair a device through the real routes.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "ControlDeckCore/adapters/AdapterSet.h"
#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/shared/JSON.h"
#include "tests/support/LoopbackHTTP.h"
#include "tests/support/TempDirectory.h"

namespace veltrane::deck::testing {

using veltrane::testing::bearer;
using veltrane::testing::HeaderList;
using veltrane::testing::HTTPReply;

using TemporaryDirectory = veltrane::testing::TempDirectory;

struct PairedTablet {
    std::string deviceId;
    std::string deviceToken;
    std::string session;
};

class RuntimeFixture : public ::testing::Test {
protected:
    void TearDown() override;

    // Options for a runtime in `data` (loopback, port 0, Fake adapters).
    RuntimeOptions optionsFor(const std::filesystem::path& data) const;
    // Builds and starts a runtime with `adapters` (a new Fake set by default).
    std::shared_ptr<DeckRuntime> startRuntime(RuntimeOptions options);
    std::shared_ptr<DeckRuntime> startRuntime() { return startRuntime(optionsFor(data.path())); }

    HTTPReply request(const std::string& method, const std::string& target, const std::string& body = {},
                      const HeaderList& headers = {}) const;
    HTTPReply authed(const std::string& method, const std::string& target, const std::string& body = {}) const {
        return request(method, target, body, bearer(tablet.session));
    }
    // Offers a code, requests pairing with it, approves from the desktop,
    // collects the token and opens a session; also stores it in `tablet`.
    PairedTablet pair(const std::string& name = "Tab");

    static Json body(const HTTPReply& reply);
    // An error answer: its status and the error object's code and message.
    static void expectError(const HTTPReply& reply, int status, const std::string& code, const std::string& message);

    // The Fake of type T in `adapters`, or null when that slot holds another adapter.
    template <class T>
    std::shared_ptr<T> fake() const {
        auto in = [](const auto& slot) { return std::dynamic_pointer_cast<T>(slot); };
        if constexpr (std::is_base_of_v<VolumeControlling, T>)
            return in(adapters.volume);
        else if constexpr (std::is_base_of_v<MediaControlling, T>)
            return in(adapters.media);
        else if constexpr (std::is_base_of_v<AppLaunching, T>)
            return in(adapters.apps);
        else if constexpr (std::is_base_of_v<SystemSampling, T>)
            return in(adapters.system);
        else if constexpr (std::is_base_of_v<NetworkSampling, T>)
            return in(adapters.network);
        else if constexpr (std::is_base_of_v<ScreenshotCapturing, T>)
            return in(adapters.screenshot);
        else if constexpr (std::is_base_of_v<Locking, T>)
            return in(adapters.lock);
        else if constexpr (std::is_base_of_v<ClipboardAccessing, T>)
            return in(adapters.clipboard);
        else if constexpr (std::is_base_of_v<ShortcutRunning, T>)
            return in(adapters.shortcuts);
        else if constexpr (std::is_base_of_v<LinkOpening, T>)
            return in(adapters.links);
        else if constexpr (std::is_base_of_v<TimerNotifying, T>)
            return in(adapters.notifier);
        else if constexpr (std::is_base_of_v<BrightnessControlling, T>)
            return in(adapters.brightness);
        else
            return in(adapters.files);
    }

    // Runs tools/ws_peer.py against this runtime with `steps`; `onEvent` sees
    // each observation (one JSON object) as it comes, so a test can act while
    // the peer waits. Returns them all, in order.
    std::vector<Json> runPeer(const std::vector<std::string>& steps,
                              const std::function<void(const Json&)>& onEvent = {});

    TemporaryDirectory data;
    AdapterSet adapters = AdapterSet::fake();
    std::shared_ptr<DeckRuntime> runtime;
    PairedTablet tablet;
};

}  // namespace veltrane::deck::testing
