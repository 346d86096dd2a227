#pragma once
// Scripts answered by their exact text; anything else fails. Every run is
// recorded. One caller at a time.

#include <map>
#include <string>
#include <vector>

#include "platform/script/ScriptHost.h"

namespace veltrane::script {

class FakeScriptHost final : public ScriptHost {
public:
    std::map<std::string, ScriptOutcome, std::less<>> answers;
    std::vector<std::string> ran;

    ScriptOutcome run(std::string_view script, std::chrono::milliseconds) override {
        ran.emplace_back(script);
        const auto found = answers.find(script);
        if (found == answers.end()) return {std::nullopt, "no answer for this script"};
        return found->second;
    }
};

}  // namespace veltrane::script
