#include "tests/support/XvfbServer.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/Eventually.h"
#include "tests/support/Files.h"

namespace veltrane::testing {

using namespace std::chrono_literals;

std::unique_ptr<XvfbServer> XvfbServer::start(int width, int height, std::string& error) {
    // -displayfd writes the chosen number once the server accepts clients.
    std::string command = "exec Xvfb -displayfd 1 -nolisten tcp -noreset -screen 0 " + std::to_string(width) + "x" +
                          std::to_string(height) + "x24 2>/dev/null";
    auto child = process::ChildProcess::spawn("/bin/sh", {"-c", command}, error);
    if (!child) return nullptr;
    auto number = firstLine(*child);
    if (!number) {
        error = "Xvfb did not report a display";
        child->sendSignal(SIGKILL);
        return nullptr;
    }
    return std::unique_ptr<XvfbServer>(new XvfbServer(std::move(child), ":" + *number));
}

std::unique_ptr<XvfbDisplay> XvfbDisplay::start(int width, int height, std::string& error) {
    auto server = XvfbServer::start(width, height, error);
    if (!server) return nullptr;
    return std::unique_ptr<XvfbDisplay>(new XvfbDisplay(std::move(server)));
}

XvfbServer::~XvfbServer() {
    child_->sendSignal(SIGTERM);
    eventually([&] { return !child_->isRunning(); });
}

std::optional<std::string> firstLine(process::ChildProcess& child) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (out.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline && child.pipesOpen())
        child.pump(200ms, [&](process::ChildProcess::Stream, const char* d, std::size_t n) { out.append(d, n); });
    auto newline = out.find('\n');
    if (newline == std::string::npos || newline == 0) return std::nullopt;
    return out.substr(0, newline);
}

std::string waitForLines(const std::filesystem::path& file) {
    std::string text;
    eventually([&] {
        text = std::filesystem::exists(file) ? readFile(file) : "";
        return !text.empty() && text.back() == '\n';
    });
    return !text.empty() && text.back() == '\n' ? text : "";
}

}  // namespace veltrane::testing
