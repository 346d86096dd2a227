// The linear scanner must mask exactly what the pattern
//   key [\"'=: ]+ [A-Za-z0-9+/=_\-]{8,}
// matches with a backtracking engine, pass by pass; short inputs are checked
// against std::regex (long ones would overflow its recursion).
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <utility>
#include <vector>

#include "ControlDeckCore/shared/DeckLogger.h"

using veltrane::deck::DeckLogger;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string ours = DeckLogger::redact(text);
    if (ours.size() > text.size()) std::abort();
    if (size > 512) return 0;
    // Compiled once: building them for every input was most of the time spent.
    static const std::vector<std::pair<std::regex, std::string>> passes = [] {
        std::vector<std::pair<std::regex, std::string>> out;
        for (const char* key : {"deviceToken", "session", "token", "secret", "authorization", "Bearer"})
            out.emplace_back(std::regex(std::string(key) + R"([\"'=: ]+[A-Za-z0-9+/=_\-]{8,})"), std::string(key) + "=***");
        return out;
    }();
    std::string expected = text;
    for (const auto& [pattern, replacement] : passes) expected = std::regex_replace(expected, pattern, replacement);
    if (ours != expected) std::abort();
    return 0;
}
