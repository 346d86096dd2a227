#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace veltrane::deck {

// Writes "[deck] " lines with token-like values masked.
struct DeckLogger {
    // Receives each finished line; may be called from several threads at once.
    using Sink = std::function<void(const std::string&)>;

    DeckLogger();  // lines go to standard output
    explicit DeckLogger(Sink sink) : sink(std::move(sink)) {}

    Sink sink;

    void info(std::string_view message) const;

    // Masks "<key><separators><token>" for the keys deviceToken, session,
    // token, secret, authorization and Bearer (case-sensitive, in that order)
    // as "<key>=***". Linear in the text, whatever its content.
    static std::string redact(std::string_view text);

    static Sink standardOutputSink();
};

}  // namespace veltrane::deck
