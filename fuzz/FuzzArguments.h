#pragma once
// Argument lists for command-line fuzzers: elements separated by NUL bytes,
// and a one-byte element 1..N stands for the N-th option name, so the fuzzer
// reaches the options without guessing their spelling.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline std::vector<std::string> fuzzArguments(const std::uint8_t* data, std::size_t size,
                                              const std::vector<const char*>& optionNames) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) arguments.emplace_back();
        else arguments.back() += static_cast<char>(data[i]);
    }
    for (auto& a : arguments) {
        auto n = static_cast<unsigned char>(a.size() == 1 ? a[0] : 0);
        if (n >= 1 && n <= optionNames.size()) a = optionNames[n - 1];
    }
    return arguments;
}
