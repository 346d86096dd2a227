#pragma once

#include <memory>
#include <string>

#include "platform/process/ChildProcess.h"

namespace veltrane::testing {

// An X server of the test's own on Xorg's dummy driver (tools/xorg/dummy.conf):
// RandR outputs DUMMY0 (connected, 1920 x 1080) and DUMMY1..DUMMY15
// (disconnected, off), a screen that may grow to 8192 x 8192, no input
// devices beyond the core ones XTEST drives. It takes a free display number,
// keeps its log in a temporary folder, and is ended by its PID.
class PrivateXorg {
public:
    PrivateXorg();
    ~PrivateXorg();
    PrivateXorg(const PrivateXorg&) = delete;
    PrivateXorg& operator=(const PrivateXorg&) = delete;

    // Why the server could not be started (with the end of its log); empty
    // while it runs.
    const std::string& failure() const { return failure_; }
    bool running() const { return failure_.empty() && server_ != nullptr; }
    // ":N", for DISPLAY.
    const std::string& display() const { return display_; }
    pid_t pid() const { return server_ ? server_->pid() : 0; }

    // Ends the server (SIGTERM, then SIGKILL after a few seconds).
    void stop();

private:
    std::string folder_;
    std::string display_;
    std::string failure_;
    std::unique_ptr<process::ChildProcess> server_;
};

}  // namespace veltrane::testing
