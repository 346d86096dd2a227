#include "tests/support/LyricsStub.h"

#include <signal.h>

#include "tests/support/Eventually.h"
#include "tests/support/LoopbackHTTP.h"
#include "tests/support/XvfbServer.h"

namespace veltrane::testing {

std::unique_ptr<LyricsStub> LyricsStub::start(std::string& error, Mode mode) {
    std::vector<std::string> arguments{VELTRANE_LYRICS_STUB};
    if (mode == Mode::blackHole) arguments.push_back("--black-hole");
    auto child = process::ChildProcess::spawn("/usr/bin/python3", arguments, error);
    if (!child) return nullptr;
    const auto line = firstLine(*child);
    const int port = line ? std::atoi(line->c_str()) : 0;
    if (port <= 0 || port > 65535) {
        error = "the lyrics stub did not report its port";
        child->sendSignal(SIGKILL);
        return nullptr;
    }
    return std::unique_ptr<LyricsStub>(new LyricsStub(std::move(child), static_cast<std::uint16_t>(port)));
}

LyricsStub::~LyricsStub() {
    child_->sendSignal(SIGTERM);
    eventually([&] { return !child_->isRunning(); });
}

std::string LyricsStub::endpointsJSON() const {
    nlohmann::json endpoints;
    for (const char* key : {"lrclib", "qqSearch", "qqApi", "qqSite", "catalog", "qqImage"}) endpoints[key] = origin();
    return endpoints.dump();
}

bool LyricsStub::setRoutes(const nlohmann::json& routes) const {
    return httpRequest(port_, "POST", "/_stub/routes", routes.dump()).status == 200 &&
           httpRequest(port_, "POST", "/_stub/reset").status == 200;
}

nlohmann::json LyricsStub::log() const {
    const auto reply = httpRequest(port_, "GET", "/_stub/log");
    return nlohmann::json::parse(reply.body, nullptr, false);
}

std::vector<std::string> LyricsStub::requests() const {
    std::vector<std::string> out;
    for (const auto& entry : log()) {
        std::string line = entry["path"].get<std::string>();
        char separator = '?';
        for (const auto& item : entry["query"]) {
            line += separator + item[0].get<std::string>() + "=" + item[1].get<std::string>();
            separator = '&';
        }
        out.push_back(std::move(line));
    }
    return out;
}

}  // namespace veltrane::testing
