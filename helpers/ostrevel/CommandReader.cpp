#include "helpers/ostrevel/CommandReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace veltrane::ostrevel {
namespace {

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

bool validEdge(unsigned long edge, unsigned long scale) {
    return edge >= kMinimumEdge && edge <= kMaximumEdge && edge % scale == 0;
}

}  // namespace

Command CommandReader::parse(std::string_view line) {
    // As a C string: a NUL ends the line's text.
    char text[kLineLimit + 1] = {};
    const std::size_t length = std::min(line.size(), kLineLimit);
    std::memcpy(text, line.data(), length);

    if (startsWith(text, "portrait")) return {CommandKind::portrait};
    if (startsWith(text, "landscape")) return {CommandKind::landscape};
    if (startsWith(text, "mode ")) {
        unsigned long width = 0, height = 0, scale = 0;
        if (std::sscanf(text, "mode %lu %lu %lu", &width, &height, &scale) == 3 && (scale == 1 || scale == 2) &&
            validEdge(width, scale) && validEdge(height, scale))
            return {CommandKind::mode, width, height, scale};
        return {CommandKind::invalidMode};
    }
    if (startsWith(text, "quit")) return {CommandKind::quit};
    return {CommandKind::unknown};
}

std::vector<Command> CommandReader::feed(std::string_view bytes) {
    std::vector<Command> commands;
    for (char c : bytes) {
        if (c == '\n') {
            commands.push_back(parse(line_));
            line_.clear();
            started_ = false;
            continue;
        }
        started_ = true;
        if (line_.size() < kLineLimit) line_.push_back(c);
    }
    return commands;
}

std::optional<Command> CommandReader::finish() {
    if (!started_) return std::nullopt;
    Command last = parse(line_);
    line_.clear();
    started_ = false;
    return last;
}

}  // namespace veltrane::ostrevel
