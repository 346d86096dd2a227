// The virtual-display helper's command reader on arbitrary bytes: one
// command per line whatever the pieces, only the known actions, modes always
// within range, and nothing past a line's first 63 characters counts.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "helpers/ostrevel/CommandReader.h"

using namespace veltrane::ostrevel;

namespace {

std::vector<Command> readInPieces(std::string_view bytes, std::size_t piece) {
    CommandReader reader;
    std::vector<Command> commands;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        for (const Command& c : reader.feed(bytes.substr(at, piece))) commands.push_back(c);
    if (auto last = reader.finish()) commands.push_back(*last);
    return commands;
}

void check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto whole = readInPieces(bytes, size == 0 ? 1 : size);
    check(readInPieces(bytes, 1 + (size > 0 ? data[0] % 17 : 0)) == whole);

    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < size;) {
        const std::size_t end = bytes.find('\n', start);
        lines.push_back(bytes.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        start = end == std::string_view::npos ? size : end + 1;
    }
    check(whole.size() == lines.size());
    for (std::size_t i = 0; i < whole.size(); ++i) {
        const Command& c = whole[i];
        check(c == CommandReader::parse(lines[i].substr(0, kLineLimit)));
        switch (c.kind) {
            case CommandKind::mode:
                check(c.scale == 1 || c.scale == 2);
                for (std::size_t edge : {c.width, c.height})
                    check(edge >= kMinimumEdge && edge <= kMaximumEdge && edge % c.scale == 0);
                break;
            case CommandKind::portrait:
            case CommandKind::landscape:
            case CommandKind::quit:
            case CommandKind::invalidMode:
            case CommandKind::unknown:
                check(c.width == 0 && c.height == 0 && c.scale == 0);
                break;
            default:
                std::abort();
        }
    }
    return 0;
}
