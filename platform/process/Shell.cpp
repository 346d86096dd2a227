#include "platform/process/Shell.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/text/UTF8.h"
#include "platform/process/ChildProcess.h"

namespace veltrane::process {

namespace {

using Clock = std::chrono::steady_clock;


std::chrono::milliseconds ms(double seconds) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

struct Collector {
    std::size_t limit = Shell::kMaxOutputBytes;
    std::string out, err;
    bool outCut = false, errCut = false;

    void operator()(ChildProcess::Stream stream, const char* data, std::size_t size) {
        std::string& buffer = stream == ChildProcess::Stream::out ? out : err;
        bool& cut = stream == ChildProcess::Stream::out ? outCut : errCut;
        std::size_t room = limit - std::min(limit, buffer.size());
        if (size > room) cut = true;
        buffer.append(data, std::min(size, room));  // the rest is read and dropped
    }
};

// Waits up to `wait` for the child to end, collecting its output meanwhile.
// The state is tested first, so a child that has already ended costs nothing.
bool waitForExit(ChildProcess& child, Collector& collector, std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    while (child.isRunning()) {
        auto now = Clock::now();
        if (now >= deadline) return false;
        auto slice = std::min(Shell::kPollInterval,
                              std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
        if (!child.pipesOpen() || !child.pump(slice, collector))
            std::this_thread::sleep_for(slice);  // pipes closed early; keep polling the process
    }
    return true;
}

std::string decode(const std::string& bytes, bool cut) {
    std::string_view view(bytes);
    if (cut) view = view.substr(0, text::utf8::withoutCutTail(view));
    return text::utf8::isValid(view) ? std::string(view) : std::string();
}

}  // namespace

ShellResult Shell::run(const std::string& path, const std::vector<std::string>& arguments, double timeout,
                       std::size_t maxOutputBytes) {
    std::string error;
    // Its own process group, so a time-out also stops what the tool started.
    auto child = ChildProcess::spawn(path, arguments, error, ChildProcess::Group::own);
    if (!child) return {1, "", error};

    Collector collector;
    collector.limit = maxOutputBytes;
    if (!waitForExit(*child, collector, ms(std::max(0.0, timeout)))) {
        child->sendSignal(SIGTERM);
        if (!waitForExit(*child, collector, kTermGrace)) {
            child->sendSignal(SIGKILL);
            waitForExit(*child, collector, kKillWait);
        }
    }

    // Whatever is still in the pipes. A grandchild holding them open cannot
    // keep us here past the window.
    const auto readDeadline = Clock::now() + kReadWindow;
    while (child->pipesOpen()) {
        auto now = Clock::now();
        if (now >= readDeadline) break;
        child->pump(std::chrono::duration_cast<std::chrono::milliseconds>(readDeadline - now), collector);
    }

    ShellResult result;
    result.status = child->isRunning() ? kUnstoppableStatus : child->terminationStatus().value_or(kUnstoppableStatus);
    result.stdout = decode(collector.out, collector.outCut);
    result.stderr = decode(collector.err, collector.errCut);
    return result;
}

std::optional<std::string> Shell::osascript(const std::string& script, double timeout) {
    ShellResult r = run("/usr/bin/osascript", {"-e", script}, timeout);
    if (r.status != 0) return std::nullopt;
    const char* space = " \t\n\r\v\f";
    auto first = r.stdout.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    auto last = r.stdout.find_last_not_of(space);
    return r.stdout.substr(first, last - first + 1);
}

}  // namespace veltrane::process
