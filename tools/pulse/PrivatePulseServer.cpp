#include "tools/pulse/PrivatePulseServer.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace veltrane::testing {

namespace {
constexpr const char* kDaemon = "/usr/bin/pulseaudio";
constexpr const char* kPactl = "/usr/bin/pactl";
constexpr auto kStartTimeout = std::chrono::seconds(15);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr int kIdleExitSeconds = 30;

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// libpulse clients in this process read (and, when missing, create) a cookie
// in the user's home. A cookie file of our own keeps the tests out of it;
// the private servers accept any client. Set before main, while the process
// has one thread.
const bool kClientCookieSet = [] {
    char pattern[] = "/tmp/veltrane-pulse-client-XXXXXX";
    if (!::mkdtemp(pattern)) return false;
    static const std::string folder = pattern;
    std::ofstream(folder + "/cookie", std::ios::binary) << std::string(256, '\x5a');
    ::setenv("PULSE_COOKIE", (folder + "/cookie").c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    return true;
}();
}  // namespace

PrivatePulseServer::PrivatePulseServer() {
    char pattern[] = "/tmp/veltrane-pulse-XXXXXX";
    if (!::mkdtemp(pattern)) {
        failure_ = "cannot create a temporary folder";
        return;
    }
    folder_ = pattern;
    address_ = "unix:" + folder_ + "/native";
    for (const char* sub : {"/home", "/config", "/run"}) ::mkdir((folder_ + sub).c_str(), 0700);
    std::ofstream script(folder_ + "/default.pa");
    script << "load-module module-native-protocol-unix socket=" << folder_ << "/native auth-anonymous=1\n"
           << "load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers\n"
           << "load-module module-null-sink sink_name=headphones sink_properties=device.description=Headphones\n"
           << "set-default-sink speakers\n";
    script.close();
    start();
}

PrivatePulseServer::~PrivatePulseServer() {
    stop();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

bool PrivatePulseServer::start() {
    if (folder_.empty()) return false;
    if (::access(kDaemon, X_OK) != 0 || ::access(kPactl, X_OK) != 0) {
        failure_ = "pulseaudio and pulseaudio-utils are not installed";
        return false;
    }
    // A clean environment: the daemon's state, cookie and runtime files all
    // stay in our folder. Its output goes to a file, not to a pipe that
    // nobody reads. A test holds a client for as long as it uses the server;
    // the idle limit ends a daemon whose test died without stopping it.
    std::string command = "exec /usr/bin/env -i PATH=/usr/bin:/bin HOME=" + quoted(folder_ + "/home") +
                          " XDG_CONFIG_HOME=" + quoted(folder_ + "/config") +
                          " XDG_RUNTIME_DIR=" + quoted(folder_ + "/run") + " " + kDaemon +
                          " -n --daemonize=no --system=no --exit-idle-time=" + std::to_string(kIdleExitSeconds) + " --use-pid-file=no"
                          " --realtime=no --high-priority=no --disable-shm=yes"
                          " -F " + quoted(folder_ + "/default.pa") + " >" + quoted(folder_ + "/daemon.log") + " 2>&1";
    std::string error;
    daemon_ = process::ChildProcess::spawn("/bin/sh", {"-c", command}, error);
    if (!daemon_) {
        failure_ = error;
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!daemon_->isRunning()) break;
        if (pactl({"info"}).status == 0) {
            failure_.clear();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::ifstream log(folder_ + "/daemon.log");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    failure_ = "the private PulseAudio server did not start: " + text.substr(0, 2000);
    stop();
    return false;
}

void PrivatePulseServer::stop() {
    if (!daemon_) return;
    daemon_->sendSignal(SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    while (daemon_->isRunning() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (daemon_->isRunning()) {
        daemon_->sendSignal(SIGKILL);
        while (daemon_->isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    daemon_.reset();
    std::error_code ignored;
    std::filesystem::remove(folder_ + "/native", ignored);
}

process::ShellResult PrivatePulseServer::pactl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> full{"-i", "HOME=" + folder_ + "/home", "XDG_RUNTIME_DIR=" + folder_ + "/run", kPactl,
                                  "--server=" + address_};
    full.insert(full.end(), arguments.begin(), arguments.end());
    return process::Shell::run("/usr/bin/env", full, 10.0);
}

std::string PrivatePulseServer::pactlLine(const std::vector<std::string>& arguments) const {
    auto result = pactl(arguments);
    std::string line = result.stdout.substr(0, result.stdout.find('\n'));
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
}

}  // namespace veltrane::testing
