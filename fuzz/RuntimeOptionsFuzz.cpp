// Arbitrary argument lists (elements separated by NUL bytes) must parse
// without failing, and the port must be what an independent reading of the
// last applied "--port" value says.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ControlDeckCore/runtime/RuntimeOptions.h"
#include "fuzz/FuzzArguments.h"

using veltrane::deck::RuntimeOptions;

namespace {

// Sign, digits, then the value compared as a decimal string: no arithmetic
// shared with the parser.
std::optional<std::uint16_t> referencePort(const std::string& text) {
    std::size_t start = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (start == text.size()) return std::nullopt;
    for (std::size_t i = start; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    std::string digits = text.substr(start);
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (digits.size() > 5 || (digits.size() == 5 && digits > "65535")) return std::nullopt;
    if (text[0] == '-' && digits != "0") return std::nullopt;
    return static_cast<std::uint16_t>(std::stoul(digits));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments =
        fuzzArguments(data, size, {"--port", "--data-dir", "--static-dir", "--name", "--auto-approve",
                                   "--fake-adapters", "--loopback"});
    static const RuntimeOptions::Environment environment{"/data", "Host", "/cwd", std::nullopt};
    RuntimeOptions options = RuntimeOptions::parse(arguments, environment);

    std::uint16_t expectedPort = RuntimeOptions::kDefaultPort;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const auto& a = arguments[i];
        bool takesValue = a == "--port" || a == "--data-dir" || a == "--static-dir" || a == "--name";
        if (!takesValue || i + 1 == arguments.size()) continue;
        if (a == "--port")
            if (auto port = referencePort(arguments[i + 1])) expectedPort = *port;
        ++i;
    }
    if (options.port != expectedPort) std::abort();
    if (RuntimeOptions::parsePort(arguments[0]) != referencePort(arguments[0])) std::abort();
    if (!options.dataDirectory.is_absolute()) std::abort();
    return 0;
}
