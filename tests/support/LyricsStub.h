#pragma once
// The lyric services' stand-in (tools/lyrics-stub) as a child of the test:
// its routes set and its request log read over its control paths, ended by
// its PID.

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/process/ChildProcess.h"

namespace veltrane::testing {

class LyricsStub {
public:
    enum class Mode { serve, blackHole };
    static std::unique_ptr<LyricsStub> start(std::string& error, Mode mode = Mode::serve);
    ~LyricsStub();

    std::uint16_t port() const { return port_; }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // Every origin of the lookup pointed at this stub, as the endpoints
    // variable takes them.
    std::string endpointsJSON() const;

    // Replaces the routes (a JSON list of rules) and empties the log.
    bool setRoutes(const nlohmann::json& routes) const;
    // The logged requests, oldest first.
    nlohmann::json log() const;
    // The log's paths with their decoded query items, one "path?k=v&…" each.
    std::vector<std::string> requests() const;

private:
    LyricsStub(std::unique_ptr<process::ChildProcess> child, std::uint16_t port)
        : child_(std::move(child)), port_(port) {}
    std::unique_ptr<process::ChildProcess> child_;
    std::uint16_t port_;
};

}  // namespace veltrane::testing
