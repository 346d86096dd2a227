#pragma once
// A runtime on the Fake adapters, listening on a free loopback port with a
// fresh data directory, and helpers to pair a device through the real routes.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ControlDeckCore/adapters/AdapterSet.h"
#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/shared/JSON.h"
#include "tests/support/LoopbackHTTP.h"

namespace veltrane::deck::testing {

using veltrane::testing::bearer;
using veltrane::testing::HeaderList;
using veltrane::testing::HTTPReply;

// A directory under the system's temporary folder, removed with the object.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

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
