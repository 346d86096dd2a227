#pragma once
// mirabeck's start-up: one line and exit, or with "--watch" a line every
// 70 ms and at every player change until standard output is gone.

#include <string_view>
#include <vector>

namespace veltrane::mirabeck {

inline constexpr std::string_view kNoServiceLine = "{\"ok\":false}\n";

// The exit status (always 0). Lines go to `outputFd`.
int mirabeckMain(const std::vector<std::string_view>& arguments, int outputFd);

}  // namespace veltrane::mirabeck
