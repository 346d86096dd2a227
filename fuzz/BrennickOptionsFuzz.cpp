// The audio helper's command line from arbitrary bytes (arguments split at
// NUL): an accepted display id is exactly the decimal value after the first
// "--display-id", and its own decimal form reads back the same.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "helpers/brennick/Options.h"

using veltrane::brennick::Options;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            arguments.emplace_back();
        else
            arguments.back().push_back(static_cast<char>(data[i]));
    }
    auto options = Options::parse(arguments);
    std::size_t at = 0;
    while (at < arguments.size() && arguments[at] != "--display-id") ++at;
    if (at + 1 >= arguments.size()) {
        if (options) std::abort();
        return 0;
    }
    const std::string& value = arguments[at + 1];
    std::string digits = !value.empty() && value[0] == '+' ? value.substr(1) : value;
    bool valid = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
    if (valid) {
        std::size_t first = digits.find_first_not_of('0');
        std::string significant = first == std::string::npos ? "0" : digits.substr(first);
        valid = significant.size() < 10 || (significant.size() == 10 && significant <= "4294967295");
    }
    if (valid != options.has_value()) std::abort();
    if (options && Options::parseDisplayID(std::to_string(options->displayID)) != options->displayID) std::abort();
    return 0;
}
