#pragma once
// Scripts run by the desktop's automation host: a script's text in, its
// output (trimmed) or the reason it failed out. Linux has no such host
// (NoScriptHost); tests answer scripts by their exact text (FakeScriptHost).

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane::script {

struct ScriptOutcome {
    std::optional<std::string> output;  // none when the script failed
    std::string error;                  // why, when it failed
    bool timedOut = false;              // failed by running out of time
};

class ScriptHost {
public:
    virtual ~ScriptHost() = default;
    // Blocks until the script ends or `timeout` has passed (then it failed).
    virtual ScriptOutcome run(std::string_view script, std::chrono::milliseconds timeout) = 0;
};

class NoScriptHost final : public ScriptHost {
public:
    ScriptOutcome run(std::string_view, std::chrono::milliseconds) override {
        return {std::nullopt, "no script host on this desktop"};
    }
};

}  // namespace veltrane::script
