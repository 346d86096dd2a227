// Arbitrary argument lists (elements separated by NUL bytes) either parse or
// fail naming the first bad required option, exactly as an independent
// reading of the rules says.
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/FuzzArguments.h"
#include "helpers/halvorn/CaptureError.h"
#include "helpers/halvorn/Options.h"

using veltrane::halvorn::CaptureError;
using veltrane::halvorn::Options;

namespace {

// Decimal digits compared as strings: no arithmetic shared with the parser.
// The value when it lies in [0, highest] ("highest" in decimal).
bool digitsAtMost(const std::string& digits, const std::string& highest) {
    return digits.size() < highest.size() || (digits.size() == highest.size() && digits <= highest);
}

std::optional<long long> reference(const std::string& text, bool positive, const std::string& highest) {
    std::size_t start = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (start == text.size()) return std::nullopt;
    for (std::size_t i = start; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    std::string digits = text.substr(start);
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    bool negative = text[0] == '-' && digits != "0";
    if (negative) {
        // Negative values never pass the required checks; signed 64-bit for
        // the optional ones.
        if (positive || !digitsAtMost(digits, "9223372036854775808")) return std::nullopt;
        if (digits == "9223372036854775808") return std::numeric_limits<long long>::min();
        return -std::stoll(digits);
    }
    if (!digitsAtMost(digits, highest)) return std::nullopt;
    long long value = std::stoll(digits);
    if (positive && value == 0) return std::nullopt;
    return value;
}

std::optional<std::string> valueAfter(const std::vector<std::string>& arguments, const std::string& name) {
    for (std::size_t i = 0; i < arguments.size(); ++i)
        if (arguments[i] == name) return i + 1 < arguments.size() ? std::optional(arguments[i + 1]) : std::nullopt;
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments =
        fuzzArguments(data, size, {"--display-id", "--width", "--height", "--fps", "--bitrate", "--length-prefix",
                                   "--rotate-clockwise", "--hevc", "--source-x", "--source-y", "--source-width",
                                   "--source-height"});

    struct Required {
        const char* name;
        bool positive;
        const char* highest;
    };
    static const Required required[] = {{"--display-id", false, "4294967295"},
                                        {"--width", true, "2147483647"},
                                        {"--height", true, "2147483647"},
                                        {"--fps", true, "2147483647"},
                                        {"--bitrate", true, "2147483647"}};
    std::string expectedError;
    long long values[5] = {};
    for (int i = 0; i < 5 && expectedError.empty(); ++i) {
        auto text = valueAfter(arguments, required[i].name);
        auto value = text ? reference(*text, required[i].positive, required[i].highest) : std::nullopt;
        if (!value || (i == 0 && *value < 0)) expectedError = std::string("Missing or invalid ") + required[i].name;
        else values[i] = *value;
    }

    std::optional<Options> options;
    try {
        options = Options::parse(arguments);
    } catch (const CaptureError& error) {
        if (error.description() != expectedError) std::abort();
        return 0;
    }
    if (!expectedError.empty()) std::abort();
    if (options->displayID != values[0] || options->width != values[1] || options->height != values[2] ||
        options->fps != values[3] || options->bitrate != values[4])
        std::abort();
    auto has = [&](const char* flag) {
        for (const auto& a : arguments)
            if (a == flag) return true;
        return false;
    };
    if (options->lengthPrefixed != has("--length-prefix") || options->hevc != has("--hevc") ||
        options->rotateClockwise != has("--rotate-clockwise"))
        std::abort();
    const std::pair<const char*, std::optional<std::int64_t>> optional[] = {{"--source-x", options->sourceX},
                                                                            {"--source-y", options->sourceY},
                                                                            {"--source-width", options->sourceWidth},
                                                                            {"--source-height", options->sourceHeight}};
    for (const auto& [name, got] : optional) {
        auto text = valueAfter(arguments, name);
        auto want = text ? reference(*text, false, "9223372036854775807") : std::nullopt;
        if (want != (got ? std::optional<long long>(*got) : std::nullopt)) std::abort();
    }
    return 0;
}
