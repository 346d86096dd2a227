#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrane::process {

struct ShellResult {
    std::int32_t status = 0;
    std::string stdout;
    std::string stderr;
};

// Runs a command-line tool to completion with a deadline. Blocks the calling
// thread, so callers run it on their own queues, never the main thread.
struct Shell {
    static constexpr std::chrono::milliseconds kPollInterval{20};
    static constexpr std::chrono::milliseconds kTermGrace{400};
    static constexpr std::chrono::milliseconds kKillWait{200};
    static constexpr std::chrono::milliseconds kReadWindow{150};
    static constexpr std::size_t kMaxOutputBytes = 256'000;
    static constexpr std::int32_t kUnstoppableStatus = 124;

    // Status is the exit code, or for a child ended by a signal the signal
    // number; 124 when it survives SIGTERM and SIGKILL; 1 with the reason in
    // stderr when it cannot be started. Output is collected while the child
    // runs, so a chatty child never stalls on a full pipe; each stream keeps
    // its first 256,000 bytes, and text that is not UTF-8 comes back empty.
    // The tool leads a process group of its own, and the time-out's signals
    // reach the whole group. What a tool that ends by itself leaves running
    // (xclip serving a selection, an application a script opened) is its own.
    static ShellResult run(const std::string& path, const std::vector<std::string>& arguments, double timeout) {
        return run(path, arguments, timeout, kMaxOutputBytes);
    }
    // The same, keeping up to `maxOutputBytes` of each stream: for tools whose
    // one answer can be larger (a line carrying a picture).
    static ShellResult run(const std::string& path, const std::vector<std::string>& arguments, double timeout,
                           std::size_t maxOutputBytes);

    // Runs an AppleScript through /usr/bin/osascript; the trimmed output, or
    // nothing when the status is not 0 (as on a system without osascript).
    static std::optional<std::string> osascript(const std::string& script, double timeout);
};

}  // namespace veltrane::process
