#pragma once
// What both qq-probe programs print: the usage line and JSON lines.

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace veltrane::tools {

inline int usage() {
    std::fputs("usage: qq-probe play-queue FILE | window PID | cover ALBUMMID --image-host URL\n", stderr);
    return 2;
}

inline nlohmann::ordered_json optionalText(const std::optional<std::string>& text) {
    return text ? nlohmann::ordered_json(*text) : nullptr;
}

inline void printLine(const nlohmann::ordered_json& value) {
    std::cout << value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

}  // namespace veltrane::tools
