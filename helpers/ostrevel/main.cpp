// Ostrevel: the virtual display on a spare output of the X server, alive as
// long as this process. SIGTERM, SIGINT and SIGHUP take the display away and
// then end the process by the same signal, so the parent sees the same end;
// they are taken by a sigwait thread, nothing runs in a handler.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

#include "helpers/ostrevel/Ostrevel.h"
#include "platform/display/RandRVirtualDisplay.h"
#include "platform/system/ProcessSetup.h"

namespace {

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace veltrane;
    sys::ignoreSigpipe();
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto orientation = ostrevel::parseArguments(args);
    if (!orientation) {
        writeAll(STDERR_FILENO, ostrevel::kUsage);
        return ostrevel::kExitUsage;
    }

    // Blocked before any thread starts, so every thread inherits the mask.
    sigset_t ending;
    sigemptyset(&ending);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, signal);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);

    display::RandRVirtualDisplay system;
    std::thread([&system, ending] {
        int signal = 0;
        while (sigwait(&ending, &signal) != 0) {
        }
        system.releaseVirtualDisplay(0);
        ::signal(signal, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        ::raise(signal);
    }).detach();

    ostrevel::Ostrevel helper({system, [](std::string_view text) { writeAll(STDOUT_FILENO, text); },
                               [](std::string_view text) { writeAll(STDERR_FILENO, text); },
                               [](std::chrono::milliseconds wait) { std::this_thread::sleep_for(wait); }});
    const int status = helper.run(*orientation, STDIN_FILENO);
    // The display is released; skip the destructors the signal thread may
    // still be using.
    std::_Exit(status);
}
