#pragma once
// A long-running child whose standard output is handed over as it arrives.
// One reader thread per child pumps both pipes: standard error is read and
// dropped, so a chatty child never blocks on it, and the end of the child is
// reported once, after its last output.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veltrane::process {

class ChildProcess;

class StreamingChild {
public:
    struct Handlers {
        // Called on the reader thread with each piece of standard output.
        std::function<void(std::string bytes)> output;
        // Called on the reader thread once the child has ended (not when it
        // was ended by the destructor).
        std::function<void()> ended;
    };

    // Null with a readable reason in `error` when the child cannot start.
    static std::unique_ptr<StreamingChild> start(const std::string& path, const std::vector<std::string>& arguments,
                                                 Handlers handlers, std::string& error);
    // Ends a child still running (SIGTERM, then SIGKILL when it lingers) and
    // the reader; never calls `ended`.
    ~StreamingChild();
    StreamingChild(const StreamingChild&) = delete;
    StreamingChild& operator=(const StreamingChild&) = delete;

    pid_t pid() const { return pid_; }
    // False once the child's end has been seen.
    bool isRunning() const { return running_; }

private:
    StreamingChild(std::unique_ptr<ChildProcess> child, Handlers handlers);
    void read();

    std::unique_ptr<ChildProcess> child_;  // the reader's alone until it is joined
    const pid_t pid_;
    Handlers handlers_;
    std::atomic<bool> running_{true};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // under mutex_
    std::thread reader_;
};

}  // namespace veltrane::process
