#pragma once
// The helper's standard-input commands: bytes in, one command per line out.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::ostrevel {

// Only this much of a line is read; the rest of it is dropped, never taken
// for a command of its own.
inline constexpr std::size_t kLineLimit = 63;
inline constexpr std::size_t kMinimumEdge = 640;
inline constexpr std::size_t kMaximumEdge = 3840;

enum class CommandKind { portrait, landscape, mode, quit, invalidMode, unknown };

struct Command {
    CommandKind kind = CommandKind::unknown;
    // For `mode`: pixels and scale, already checked.
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t scale = 0;
    bool operator==(const Command&) const = default;
};

class CommandReader {
public:
    // The commands of the lines `bytes` completes, in order; a line may
    // arrive in any number of pieces.
    std::vector<Command> feed(std::string_view bytes);
    // At end of input: a last line without its newline still counts.
    std::optional<Command> finish();

    // One line (without its newline), of which only the first kLineLimit
    // characters are looked at, matched on its beginning.
    static Command parse(std::string_view line);

private:
    std::string line_;
    bool started_ = false;  // a byte of the current line has arrived
};

}  // namespace veltrane::ostrevel
