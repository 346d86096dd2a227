// /proc/<pid>/stat texts from arbitrary bytes: a parent is read only from the
// field after the state that follows the last ')', and is what that field says.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "helpers/brennick/ProcessAncestry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parent = veltrane::brennick::parentFromStat(text);
    if (!parent) return 0;
    if (*parent < 0) std::abort();
    auto close = text.rfind(')');
    if (close == std::string_view::npos) std::abort();
    std::string_view rest = text.substr(close + 1);
    if (rest.size() < 4 || rest[0] != ' ' || rest[2] != ' ') std::abort();
    std::string field(rest.substr(3, rest.find_first_of(" \n", 3) == std::string_view::npos
                                         ? std::string_view::npos
                                         : rest.find_first_of(" \n", 3) - 3));
    if (field.empty() || field.find_first_not_of("0123456789") != std::string::npos) std::abort();
    if (std::strtoll(field.c_str(), nullptr, 10) != *parent) std::abort();
    return 0;
}
