#include "tools/xorg/PrivateXorg.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace veltrane::testing {

namespace {
constexpr const char* kServer = "/usr/bin/Xorg";
constexpr const char* kDriver = "/usr/lib/xorg/modules/drivers/dummy_drv.so";
constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr std::size_t kLogTail = 2000;

std::string readTail(const std::string& path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.size() > kLogTail ? text.substr(text.size() - kLogTail) : text;
}
}  // namespace

PrivateXorg::PrivateXorg() {
    if (::access(kServer, X_OK) != 0 || ::access(kDriver, R_OK) != 0) {
        failure_ = "xserver-xorg-core and xserver-xorg-video-dummy are not installed";
        return;
    }
    char pattern[] = "/tmp/veltrane-xorg-XXXXXX";
    if (!::mkdtemp(pattern)) {
        failure_ = "cannot create a temporary folder";
        return;
    }
    folder_ = pattern;
    ::mkdir((folder_ + "/conf.d").c_str(), 0700);
    // -displayfd writes the number it chose once the server takes clients;
    // an empty -configdir keeps the machine's own snippets out. The banner
    // goes to the log, not to a pipe nobody reads.
    const std::string command = std::string("exec ") + kServer +
                                " -noreset -nolisten tcp -config " VELTRANE_XORG_CONF " -configdir " + folder_ +
                                "/conf.d -logfile " + folder_ + "/Xorg.log -displayfd 1 2>/dev/null </dev/null";
    std::string error;
    server_ = process::ChildProcess::spawn("/bin/sh", {"-c", command}, error);
    if (!server_) {
        failure_ = error;
        return;
    }
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (out.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline && server_->pipesOpen())
        server_->pump(std::chrono::milliseconds(200),
                      [&](process::ChildProcess::Stream, const char* data, std::size_t size) { out.append(data, size); });
    const auto newline = out.find('\n');
    if (newline == std::string::npos || newline == 0) {
        failure_ = "the private Xorg did not start: " + readTail(folder_ + "/Xorg.log");
        stop();
        return;
    }
    display_ = ":" + out.substr(0, newline);
}

PrivateXorg::~PrivateXorg() {
    stop();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

void PrivateXorg::stop() {
    if (!server_) return;
    server_->sendSignal(SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    while (server_->isRunning() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (server_->isRunning()) {
        server_->sendSignal(SIGKILL);
        while (server_->isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    server_.reset();
}

}  // namespace veltrane::testing
