// control-deck: the Control Deck as a standalone host. Options come from the
// command line and CONTROL_DECK_TEST_MODE; the main thread pumps the main
// queue until SIGINT or SIGTERM, then the runtime stops and the process exits 0.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <exception>
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
    runtime.reset();
    return 0;
}
