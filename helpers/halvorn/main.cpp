// Halvorn: one display captured and encoded to H.264 or HEVC on standard output;
// messages on standard error. Exit 2 on an option error, 1 when the start
// or the capture fails, 0 on SIGINT/SIGTERM or once standard output is gone.
#include <pthread.h>
#include <signal.h>

#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "helpers/halvorn/CaptureEncoder.h"
#include "helpers/halvorn/CaptureError.h"
#include "platform/system/ProcessSetup.h"

using namespace veltrane::halvorn;

int main(int argc, char** argv) {
    veltrane::sys::ignoreSigpipe();
    CapturePlatform platform = CapturePlatform::system();
    Options options;
    try {
        options = Options::parse(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const CaptureError& error) {
        platform.writeError(error.description() + "\n");
        return 2;
    }

    // Blocked before any thread starts, so every thread inherits the mask and
    // only the sigwait below sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto encoder = std::make_shared<CaptureEncoder>(options, platform);
    std::thread([encoder, platform] {
        try {
            encoder->start();
        } catch (const CaptureError& error) {
            platform.writeError(error.description() + "\n");
            platform.exit(1);
        } catch (const std::exception& error) {
            platform.writeError(std::string(error.what()) + "\n");
            platform.exit(1);
        }
    }).detach();

    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) continue;
        encoder->stop();
        platform.exit(0);
    }
}
