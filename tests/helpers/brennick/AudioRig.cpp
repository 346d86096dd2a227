#include "tests/helpers/brennick/AudioRig.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/support/Eventually.h"

extern char** environ;

namespace veltrane::testing {
namespace {
// Apps end with the test process even when a sanitizer aborts it before
// its destructors run.
constexpr const char* kSetpriv = "/usr/bin/setpriv";
}  // namespace

double toneLevel(const std::vector<std::int16_t>& samples, double frequency) {
    if (samples.empty()) return 0;
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / 48000.0);
    double s1 = 0, s2 = 0;
    for (auto sample : samples) {
        double s0 = sample / 32768.0 + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

RunResult runProgram(const std::string& path, const std::vector<std::string>& args) {
    std::string error;
    auto child = process::ChildProcess::spawn(path, args, error);
    RunResult result;
    if (!child) return result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (child->pump(std::chrono::milliseconds(100), [&](process::ChildProcess::Stream s, const char* d, std::size_t n) {
        if (s == process::ChildProcess::Stream::out) result.out.append(d, n);
    })) {
        if (std::chrono::steady_clock::now() > deadline) child->sendSignal(SIGKILL);
    }
    while (child->isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    result.status = child->terminationStatus().value_or(-1);
    return result;
}

AudioRig::AudioRig() {
    if (!xorg_.running()) {
        failure_ = "no private Xorg: " + xorg_.failure();
        return;
    }
    if (!pulse_.running()) {
        failure_ = "no private PulseAudio: " + pulse_.failure();
        return;
    }
    if (::access("/usr/bin/ffplay", X_OK) != 0 || ::access("/usr/bin/paplay", X_OK) != 0) {
        failure_ = "ffplay (ffmpeg) or paplay (pulseaudio-utils) is missing";
        return;
    }
    ::setenv("DISPLAY", xorg_.display().c_str(), 1);
    ::setenv("PULSE_SERVER", pulse_.address().c_str(), 1);
    // The streamed display: DUMMY1 with a mode, right of DUMMY0.
    runXrandr({"--newmode", "tablet", "25.175", "640", "656", "752", "800", "480", "490", "492", "525", "-hsync", "-vsync"});
    runXrandr({"--addmode", "DUMMY1", "tablet"});
    runXrandr({"--output", "DUMMY1", "--mode", "tablet", "--right-of", "DUMMY0"});
    std::istringstream verbose(runXrandr({"--verbose"}));
    bool inDummy1 = false;
    for (std::string line; std::getline(verbose, line);) {
        if (line.rfind("DUMMY1 ", 0) == 0) inDummy1 = true;
        auto at = line.find("Identifier: ");
        if (inDummy1 && at != std::string::npos) {
            streamedOutput_ = static_cast<std::uint32_t>(std::stoul(line.substr(at + 12), nullptr, 16));
            break;
        }
    }
    if (streamedOutput_ == 0) failure_ = "DUMMY1 could not be given a mode";
    std::string tone = (folder_.path() / "tone.wav").string();
    if (runProgram("/usr/bin/ffmpeg", {"-loglevel", "error", "-f", "lavfi", "-i",
                                        "sine=frequency=880:sample_rate=48000:duration=120", "-ac", "1", tone})
            .status != 0)
        failure_ = "ffmpeg could not make a tone";
}

namespace {
// An app's own children (paplay under the window's shell) end with it.
void endChildrenOf(pid_t parent) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        try {
            text.assign(std::istreambuf_iterator<char>(stat), std::istreambuf_iterator<char>());
        } catch (const std::ios_base::failure&) {
            continue;  // it ended between the listing and the read (ESRCH)
        }
        auto close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(text.substr(close + 1));
        std::string state;
        pid_t ppid = 0;
        fields >> state >> ppid;
        if (ppid == parent) ::kill(static_cast<pid_t>(std::stol(name)), SIGKILL);
    }
}

void endApp(process::ChildProcess& app) {
    endChildrenOf(app.pid());
    app.sendSignal(SIGKILL);
    while (app.isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}
}  // namespace

AudioRig::~AudioRig() {
    for (auto& app : apps_) veltrane::testing::endApp(*app);
    apps_.clear();
}

std::string AudioRig::runXrandr(const std::vector<std::string>& args) {
    std::vector<std::string> full{"DISPLAY=" + xorg_.display(), "/usr/bin/xrandr"};
    full.insert(full.end(), args.begin(), args.end());
    return runProgram("/usr/bin/env", full).out;
}

pid_t AudioRig::startTone(int frequency, const std::string& windowClass, int x) {
    std::string error;
    auto child = process::ChildProcess::spawn(
        kSetpriv,
        {"--pdeathsig", "KILL", "--", "/usr/bin/env", "SDL_VIDEO_X11_WMCLASS=" + windowClass, "SDL_AUDIODRIVER=pulseaudio", "/usr/bin/ffplay", "-loglevel", "error",
         "-nostats", "-left", std::to_string(x), "-top", "100", "-f", "lavfi",
         "testsrc=size=160x120:rate=2[out0];sine=frequency=" + std::to_string(frequency) + ":sample_rate=48000[out1]"},
        error);
    if (!child) return -1;
    pid_t pid = child->pid();
    apps_.push_back(std::move(child));
    return pid;
}

pid_t AudioRig::startWindowWithPlayingChild(int, int x) {
    std::string error;
    std::string command = "/usr/bin/paplay " + (folder_.path() / "tone.wav").string() +
                          " & exec env SDL_VIDEO_X11_WMCLASS=org.parent /usr/bin/ffplay -loglevel error -nostats -an "
                          "-left " + std::to_string(x) + " -top 100 -f lavfi testsrc=size=160x120:rate=2";
    auto child = process::ChildProcess::spawn(kSetpriv, {"--pdeathsig", "KILL", "--", "/bin/sh", "-c", command}, error);
    if (!child) return -1;
    pid_t pid = child->pid();
    apps_.push_back(std::move(child));
    return pid;
}

int AudioRig::sinkInputCount() { return static_cast<int>(sinkInputSinks().size()); }

std::vector<std::pair<std::string, std::string>> AudioRig::sinkInputSinks() {
    std::map<std::string, std::string> sinkNames;
    std::istringstream sinks(pulse_.pactl({"list", "short", "sinks"}).stdout);
    for (std::string line; std::getline(sinks, line);) {
        std::istringstream fields(line);
        std::string index, name;
        fields >> index >> name;
        sinkNames[index] = name;
    }
    std::vector<std::pair<std::string, std::string>> result;
    std::istringstream inputs(pulse_.pactl({"list", "short", "sink-inputs"}).stdout);
    for (std::string line; std::getline(inputs, line);) {
        std::istringstream fields(line);
        std::string index, sink;
        fields >> index >> sink;
        if (!index.empty()) result.emplace_back(index, sinkNames[sink]);
    }
    return result;
}

std::string AudioRig::sinkInputOf(pid_t pid) {
    std::istringstream text(pulse_.pactl({"list", "sink-inputs"}).stdout);
    std::string current;
    const std::string wanted = "application.process.id = \"" + std::to_string(pid) + "\"";
    for (std::string line; std::getline(text, line);) {
        if (line.rfind("Sink Input #", 0) == 0) current = line.substr(12);
        if (line.find(wanted) != std::string::npos) return current;
    }
    return {};
}

std::string AudioRig::sinksAndModules() {
    return pulse_.pactl({"list", "short", "sinks"}).stdout + pulse_.pactl({"list", "short", "modules"}).stdout;
}

std::vector<std::int16_t> AudioRig::listenToSpeakers(std::chrono::milliseconds duration) {
    std::string error;
    auto parec = process::ChildProcess::spawn(
        "/usr/bin/parec", {"--server=" + pulse_.address(), "-d", "speakers.monitor", "--raw", "--format=s16le",
                           "--rate=48000", "--channels=1", "--latency-msec=20"},
        error);
    std::string bytes;
    if (!parec) return {};
    auto sink = [&](process::ChildProcess::Stream s, const char* d, std::size_t n) {
        if (s == process::ChildProcess::Stream::out) bytes.append(d, n);
    };
    // Counted in samples, not wall time, so a loaded machine that starts parec late still hears it whole.
    // The first 200 ms may still hold what played before.
    constexpr std::size_t kBytesPerMillisecond = 48 * 2;
    const std::size_t skip = 200 * kBytesPerMillisecond;
    const std::size_t wanted = skip + static_cast<std::size_t>(duration.count()) * kBytesPerMillisecond;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (bytes.size() < wanted && std::chrono::steady_clock::now() < deadline && parec->pipesOpen())
        parec->pump(std::chrono::milliseconds(20), sink);
    parec->sendSignal(SIGKILL);
    while (parec->isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (bytes.size() < skip + 2) return {};
    std::vector<std::int16_t> samples((std::min(bytes.size(), wanted) - skip) / 2);
    std::memcpy(samples.data(), bytes.data() + skip, samples.size() * 2);
    return samples;
}

HelperProcess::HelperProcess(const std::string& path, const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // A signal mask or ignored SIGPIPE of the test must not reach the helper.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &pipe);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> all{path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    outReader_ = std::thread([this] { readPackets(); });
    errReader_ = std::thread([this] { readErrors(); });
}

HelperProcess::~HelperProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    closeInput();
    closeOutput();
    if (errReader_.joinable()) errReader_.join();
    if (err_ >= 0) ::close(err_);
}

void HelperProcess::writeInput(const std::string& bytes) {
    if (in_ >= 0) (void)!::write(in_, bytes.data(), bytes.size());
}

void HelperProcess::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void HelperProcess::closeOutput() {
    stopReading_ = true;
    if (outReader_.joinable()) outReader_.join();
    if (out_ >= 0) ::close(out_);
    out_ = -1;
}

void HelperProcess::signal(int number) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, number);
}

int HelperProcess::wait(std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            // What it wrote last may still be in the pipe: read it to the end.
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, std::chrono::seconds(5), [&] { return errorsEnded_; });
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

void HelperProcess::readPackets() {
    const int fd = out_;
    auto readExactly = [&](std::uint8_t* into, std::size_t size) {
        std::size_t filled = 0;
        while (filled < size) {
            pollfd ready{fd, POLLIN, 0};
            if (stopReading_) return false;
            if (::poll(&ready, 1, 50) == 0) continue;
            ssize_t got = ::read(fd, into + filled, size - filled);
            if (got <= 0) return false;
            filled += static_cast<std::size_t>(got);
        }
        return true;
    };
    std::vector<std::uint8_t> payload;
    for (;;) {
        std::uint8_t header[4];
        if (!readExactly(header, 4)) return;
        std::uint32_t length = (std::uint32_t(header[0]) << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
        if (length == 0 || length >= 65536 || length % 4 != 0) {
            std::lock_guard lock(mutex_);
            fault_ = "packet of " + std::to_string(length) + " bytes";
            return;
        }
        payload.resize(length);
        if (!readExactly(payload.data(), length)) return;
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < length; i += 4)
            left_.push_back(static_cast<std::int16_t>(payload[i] | (payload[i + 1] << 8)));
        ++packets_;
        changed_.notify_all();
    }
}

void HelperProcess::readErrors() {
    char buffer[512];
    for (;;) {
        ssize_t got = ::read(err_, buffer, sizeof buffer);
        if (got <= 0) {
            std::lock_guard lock(mutex_);
            errorsEnded_ = true;
            changed_.notify_all();
            return;
        }
        std::lock_guard lock(mutex_);
        errors_.append(buffer, static_cast<std::size_t>(got));
        changed_.notify_all();
    }
}

std::vector<std::string> HelperProcess::errorLines() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    std::istringstream text(errors_);
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

bool HelperProcess::waitForErrorLines(std::size_t count, std::chrono::milliseconds bound) {
    return eventually([&] { return errorLines().size() >= count; }, bound);
}

std::vector<std::int16_t> HelperProcess::left() {
    std::lock_guard lock(mutex_);
    return left_;
}

std::size_t HelperProcess::packetCount() {
    std::lock_guard lock(mutex_);
    return packets_;
}

std::size_t HelperProcess::framesReceived() {
    std::lock_guard lock(mutex_);
    return left_.size();
}

std::string HelperProcess::packetFault() {
    std::lock_guard lock(mutex_);
    return fault_;
}

std::vector<std::int16_t> HelperProcess::collect(std::chrono::milliseconds duration) {
    std::size_t from = framesReceived();
    std::this_thread::sleep_for(duration);
    std::lock_guard lock(mutex_);
    return std::vector<std::int16_t>(left_.begin() + static_cast<long>(std::min(from, left_.size())), left_.end());
}

}  // namespace veltrane::testing
