// lrc-parse [--at SECONDS]... FILE...
// Prints, for each file ("-" is standard input), one JSON object a line: its
// lines as the lyrics parser reads them and, with --at, the lyric clock's
// answer at each playhead.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ControlDeckCore/lyrics/LRCParser.h"
#include "ControlDeckCore/lyrics/LyricClock.h"
#include "platform/text/Whitespace.h"

using veltrane::lyrics::LRCParser;
using veltrane::lyrics::LyricClock;

namespace {

constexpr const char* kUsage = "usage: lrc-parse [--at SECONDS]... FILE...\n";

std::optional<std::string> readAll(const std::string& name) {
    std::FILE* file = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    if (!file) return std::nullopt;
    std::string bytes;
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
    const bool failed = std::ferror(file);
    if (file != stdin) std::fclose(file);
    if (failed) return std::nullopt;
    return bytes;
}

std::optional<double> seconds(const char* text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (!*text || *end || errno == ERANGE || std::isnan(value)) return std::nullopt;
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> playheads;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--at") {
            const auto value = i + 1 < argc ? seconds(argv[i + 1]) : std::nullopt;
            if (!value) {
                std::fputs(kUsage, stderr);
                return 2;
            }
            playheads.push_back(*value);
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fputs(kUsage, stderr);
            return 2;
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    int status = 0;
    for (const auto& name : files) {
        const auto bytes = readAll(name);
        if (!bytes) {
            std::fprintf(stderr, "lrc-parse: cannot read %s\n", name.c_str());
            status = 1;
            continue;
        }
        const auto lines = LRCParser::parse(veltrane::text::repairedUTF8(*bytes));
        nlohmann::ordered_json out;
        out["file"] = name;
        auto& list = out["lines"] = nlohmann::ordered_json::array();
        for (const auto& line : lines) list.push_back({{"t", line.time}, {"text", line.text}});
        if (!playheads.empty()) {
            auto& clock = out["clock"] = nlohmann::ordered_json::array();
            for (double at : playheads) {
                const auto current = LyricClock::line(lines, at);
                clock.push_back({{"at", at},
                                 {"index", current ? static_cast<long long>(current->index) : -1LL},
                                 {"text", current ? current->text : std::string()}});
            }
        }
        const std::string text = out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
    }
    return std::fflush(stdout) == 0 ? status : 1;
}
