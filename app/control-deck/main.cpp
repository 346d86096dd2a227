// control-deck: the Control Deck as a standalone host. Options come from the
// command line and CONTROL_DECK_TEST_MODE; the main thread pumps the main
// queue until SIGINT or SIGTERM, then the runtime stops and the process exits 0.

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/runtime/RuntimeOptions.h"
#include "ControlDeckCore/shared/DeckLogger.h"
#include "ControlDeckCore/server/http/HTTPServer.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/system/ProcessSetup.h"

using namespace veltrane;

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

std::vector<std::weak_ptr<const void>> adapterHandles(const deck::AdapterSet& set) {
    return {set.volume,    set.media,     set.apps,  set.system,   set.network,    set.screenshot, set.lock,
            set.clipboard, set.shortcuts, set.links, set.notifier, set.brightness, set.files};
}

// Work that an adapter's own queue is running holds the adapter, which then
// ends on that queue's thread after the runtime has let it go. It must be gone
// before main returns: the D-Bus and X libraries' statics go at exit.
void waitUntilGone(const std::vector<std::weak_ptr<const void>>& handles) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (const auto& handle : handles)
        while (!handle.expired() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

int main(int argc, char** argv) {
    sys::ignoreSigpipe();
    sys::keepFreedHeapMemory();
    // Room for the whole connection cap; where the hard limit is lower, the
    // server holds fewer connections instead.
    sys::raiseDescriptorLimit(deck::HTTPServerOptions{}.maxConnections + deck::HTTPServer::kDescriptorReserve);
    // Blocked before any thread starts, so every thread inherits the mask and
    // only the watcher below ever receives these signals.
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const deck::DeckLogger logger;
    const deck::RuntimeOptions options = deck::RuntimeOptions::parse(std::vector<std::string>(argv, argv + argc));
    std::shared_ptr<deck::DeckRuntime> runtime = deck::DeckRuntime::create(options);
    try {
        runtime->start();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }

    std::thread watcher([signals] {
        int received = 0;
        sigwait(&signals, &received);
        dispatch::MainQueue::shared().stop();
    });
    dispatch::MainQueue::shared().run();
    watcher.join();

    logger.info("stopping");
    runtime->stop();
    const auto adapters = adapterHandles(runtime->adapters());
    runtime.reset();
    waitUntilGone(adapters);
    return 0;
}
