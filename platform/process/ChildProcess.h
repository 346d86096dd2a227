#pragma once
// A child process with its standard output and standard error on pipes.
// Standard input, the environment and the working directory are inherited.
// Every descriptor we open is close-on-exec, so a child never inherits a
// listening socket or another child's pipe.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace veltrane::process {

class ChildProcess {
public:
    enum class Stream { out, err };
    // `own`: the child leads a process group of its own and `sendSignal`
    // reaches the whole group, so stopping a child also stops what it started
    // (while the child runs). Such a child no longer gets the terminal's Ctrl-C.
    enum class Group { shared, own };

    // Starts `path` with `args` (argv[0] is `path`). On failure returns null
    // and puts a readable reason in `error`.
    static std::unique_ptr<ChildProcess> spawn(const std::string& path, const std::vector<std::string>& args,
                                               std::string& error, Group group = Group::shared);
    // Closes the pipes. A child that has not been reaped is reaped in the
    // background so it never lingers as a zombie.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Reaps the child without blocking if it has ended.
    bool isRunning();
    void sendSignal(int signal);

    // Exit code, or for a child ended by a signal the signal number; empty
    // while it runs.
    std::optional<int> terminationStatus() const { return status_; }

    // Waits up to `timeout` for output on either open pipe and reads what is
    // there. Bytes go to `sink(stream, data, size)`. Returns false once both
    // pipes have reached end of file.
    template <class Sink>
    bool pump(std::chrono::milliseconds timeout, Sink&& sink) {
        return pumpImpl(timeout, [](void* ctx, Stream s, const char* d, std::size_t n) {
            (*static_cast<std::remove_reference_t<Sink>*>(ctx))(s, d, n);
        }, &sink);
    }
    bool pipesOpen() const { return outFd_ >= 0 || errFd_ >= 0; }

private:
    using RawSink = void (*)(void*, Stream, const char*, std::size_t);
    ChildProcess(pid_t pid, int outFd, int errFd, Group group)
        : pid_(pid), outFd_(outFd), errFd_(errFd), group_(group) {}
    bool pumpImpl(std::chrono::milliseconds timeout, RawSink sink, void* ctx);

    pid_t pid_;
    int outFd_;
    int errFd_;
    Group group_;
    std::optional<int> status_;
};

}  // namespace veltrane::process
