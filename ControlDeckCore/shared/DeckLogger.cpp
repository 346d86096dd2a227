#include "ControlDeckCore/shared/DeckLogger.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace veltrane::deck {

namespace {

bool isSeparator(char c) { return c == '"' || c == '\'' || c == '=' || c == ':' || c == ' '; }

bool isTokenChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=' || c == '_' || c == '-';
}

constexpr std::size_t kMinTokenLength = 8;

// One pass for one key: the same matches as the pattern
//   key [\"'=: ]+ [A-Za-z0-9+/=_\-]{8,}
// searched leftmost-first without overlap, each replaced by "key=***".
// "=" is in both sets, so the token may begin inside the separator run (never
// at its first character): in its trailing run of "=", reaching on past the
// run, or else in an earlier run of "=" that another separator ends, which
// is then the whole token. The pattern settles on the last start that works.
std::string redactKey(std::string_view text, std::string_view key) {
    std::string out;
    std::size_t copied = 0;
    std::size_t from = 0;
    const std::size_t n = text.size();
    for (;;) {
        std::size_t k = text.find(key, from);
        if (k == std::string_view::npos) break;
        std::size_t sepStart = k + key.size();
        std::size_t sepEnd = sepStart;
        while (sepEnd < n && isSeparator(text[sepEnd])) ++sepEnd;
        if (sepEnd == sepStart) {
            from = k + 1;
            continue;
        }
        std::size_t trailingEquals = 0;
        while (sepEnd - trailingEquals > sepStart && text[sepEnd - 1 - trailingEquals] == '=') ++trailingEquals;
        std::size_t end = sepEnd;
        while (end < n && isTokenChar(text[end])) ++end;
        std::size_t earliestTokenStart = std::max(sepStart + 1, sepEnd - trailingEquals);
        if (end - earliestTokenStart < kMinTokenLength) {
            end = 0;
            const std::size_t inner = sepEnd - trailingEquals;  // text[inner - 1] is not "="
            for (std::size_t i = sepStart; i < inner;) {
                if (text[i] != '=') {
                    ++i;
                    continue;
                }
                const std::size_t runStart = i;
                while (text[i] == '=') ++i;
                if (i - std::max(runStart, sepStart + 1) >= kMinTokenLength) end = i;
            }
            if (end == 0) {
                from = k + 1;
                continue;
            }
        }
        out.append(text, copied, k - copied);
        out.append(key);
        out.append("=***");
        copied = from = end;
    }
    if (copied == 0) return std::string(text);
    out.append(text, copied);
    return out;
}

}  // namespace

DeckLogger::DeckLogger() : sink(standardOutputSink()) {}

void DeckLogger::info(std::string_view message) const {
    std::string line = "[deck] " + redact(message);
    if (sink) sink(line);
}

std::string DeckLogger::redact(std::string_view text) {
    static constexpr std::string_view keys[] = {"deviceToken", "session", "token", "secret", "authorization",
                                                "Bearer"};
    std::string current(text);
    for (auto key : keys) current = redactKey(current, key);
    return current;
}

DeckLogger::Sink DeckLogger::standardOutputSink() {
    return [](const std::string& line) {
        static std::mutex mutex;
        std::lock_guard lock(mutex);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
}

}  // namespace veltrane::deck
