#pragma once
// A virtual X display server of the test's own (Debian's Xvfb), started on a
// free display number and stopped when the object goes.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/process/ChildProcess.h"
#include "tests/support/ScopedEnvironment.h"

namespace veltrane::testing {

class XvfbServer {
public:
    // Null (with the reason in `error`) when Xvfb cannot be started.
    static std::unique_ptr<XvfbServer> start(int width, int height, std::string& error);
    ~XvfbServer();

    const std::string& display() const { return display_; }  // ":N"

private:
    XvfbServer(std::unique_ptr<process::ChildProcess> child, std::string display)
        : child_(std::move(child)), display_(std::move(display)) {}
    std::unique_ptr<process::ChildProcess> child_;
    std::string display_;
};

// An Xvfb server named by $DISPLAY while the object lives; the variable is
// put back before the server stops.
class XvfbDisplay {
public:
    // Null (with the reason in `error`) when Xvfb cannot be started.
    static std::unique_ptr<XvfbDisplay> start(int width, int height, std::string& error);

    const std::string& display() const { return server_->display(); }

private:
    explicit XvfbDisplay(std::unique_ptr<XvfbServer> server)
        : server_(std::move(server)), variable_("DISPLAY", server_->display().c_str()) {}
    std::unique_ptr<XvfbServer> server_;
    ScopedVariable variable_;
};

// The first line a child writes to its standard output (without the line
// break); none when it writes no non-empty line within a generous bound.
std::optional<std::string> firstLine(process::ChildProcess& child);

}  // namespace veltrane::testing
