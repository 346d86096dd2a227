#include "helpers/brennick/BrennickMain.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <thread>

#include "helpers/brennick/Brennick.h"
#include "helpers/brennick/CoreAudioTapCapture.h"
#include "helpers/brennick/Options.h"
#include "helpers/brennick/PacketWriter.h"
#include "platform/audio/PulseProcessTap.h"
#include "platform/audio/PulseStreamMonitor.h"
#include "platform/system/ProcessSetup.h"

namespace veltrane::brennick {
namespace {

std::mutex logMutex;

void logLine(const std::string& message) {
    std::string line = message + "\n";
    std::lock_guard lock(logMutex);
    writeAll(STDERR_FILENO, line.data(), line.size());
}

// The session the signal, input and output paths act on. Once stopped it
// takes no new session: the process is ending, and a session set after that
// (the main thread may run on while the exit is under way) must not start.
class SessionHolder {
public:
    // False once stopped.
    bool set(std::shared_ptr<AudioCaptureSession> session) {
        std::lock_guard lock(mutex_);
        if (stopped_) return false;
        session_ = std::move(session);
        return true;
    }
    std::shared_ptr<AudioCaptureSession> get() const {
        std::lock_guard lock(mutex_);
        return session_;
    }
    void stop() {
        std::shared_ptr<AudioCaptureSession> session;
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            session = session_;
        }
        if (session) session->stop();
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<AudioCaptureSession> session_;
    bool stopped_ = false;
};

SessionHolder holder;

[[noreturn]] void endByLostOutput() {
    holder.stop();
    // As the default action of a write to a gone reader would have, but only
    // once every stream is back where it played.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    ::raise(SIGPIPE);
    ::_exit(1);
}

void watchSignals(sigset_t signals) {
    std::thread([signals] {
        int received = 0;
        while (sigwait(&signals, &received) != 0) {
        }
        holder.stop();
        ::_exit(0);
    }).detach();
}

// Control bytes; at end of input the watch ends and the helper runs on.
void watchInput() {
    std::thread([] {
        char bytes[256];
        for (;;) {
            ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return;
            for (ssize_t i = 0; i < got; ++i)
                if (bytes[i] == 0 || bytes[i] == 1)
                    if (auto session = holder.get()) session->setOutputOnMac(bytes[i] != 0);
        }
    }).detach();
}

[[noreturn]] void fail(const std::string& message) {
    logLine(message);
    holder.stop();
    ::_exit(1);
}

}  // namespace

int brennickMain(int argc, char** argv) {
    sys::ignoreSigpipe();
    auto options = Options::parse(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (!options) {
        logLine(Options::kInvalid);
        return 1;
    }
    // Blocked before any thread starts, so only the signal thread takes them,
    // from the first moment: a signal while starting still puts streams back.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    watchSignals(signals);

    SessionEnvironment environment{makeX11DisplayWindows(), logLine, STDOUT_FILENO, [] { endByLostOutput(); }};
    try {
        std::shared_ptr<audio::PulseProcessTap> tap = audio::PulseProcessTap::connect(
            [](const std::string& failure) { logLine("Could not refresh Core Audio app filter: " + failure); });
        auto session = CoreAudioTapCapture::create(*options, tap, environment);
        if (!holder.set(session)) throw StartCancelled();
        try {
            session->start();
        } catch (const AudioCaptureError& error) {
            if (!error.moduleRefused()) throw;
            // This server keeps its routing to itself: copy the streams instead.
            auto monitor = Brennick::create(*options, std::make_shared<audio::PulseStreamMonitor>(), environment);
            if (!holder.set(monitor)) throw StartCancelled();
            monitor->start();
        }
    } catch (const StartCancelled&) {
        // The signal thread is putting things back and ends the process.
        for (;;) ::pause();
    } catch (const std::exception& error) {
        fail(error.what());
    }
    watchInput();
    for (;;) ::sleep(60);
}

}  // namespace veltrane::brennick
