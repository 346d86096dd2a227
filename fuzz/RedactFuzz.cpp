// The linear scanner must mask exactly what the pattern
//   key [\"'=: ]+ [A-Za-z0-9+/=_\-]{8,}
// matches with a backtracking engine, pass by pass; short inputs are checked
// against std::regex (long ones would overflow its recursion).
#include <cstdint>
#include <cstdlib>
#include <regex>

#include "ControlDeckCore/server/DeckLogger.h"

using veltrane::deck::DeckLogger;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string ours = DeckLogger::redact(text);
    if (ours.size() > text.size()) std::abort();
    if (size > 512) return 0;
    std::string expected = text;
    for (const char* key : {"deviceToken", "session", "token", "secret", "authorization", "Bearer"}) {
        std::regex pattern(std::string(key) + R"([\"'=: ]+[A-Za-z0-9+/=_\-]{8,})");
        expected = std::regex_replace(expected, pattern, std::string(key) + "=***");
    }
    if (ours != expected) std::abort();
    return 0;
}
