#pragma once
// Small file helpers for tests.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/TempDirectory.h"

namespace veltrane::testing {

inline void writeFile(const std::filesystem::path& file, const std::string& text, bool executable = false) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    if (executable) chmod(file.c_str(), 0755);
}

// `size` bytes that change with `seed` and do not repeat within a file of
// any size a test uses, so a byte out of place always shows.
inline std::string patternBytes(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& c : out) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return out;
}

// Everything a descriptor reads from its start, without moving its position.
inline std::string readDescriptor(int fd) {
    std::string out;
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n <= 0) return out;
        out.append(buffer, static_cast<std::size_t>(n));
        at += n;
    }
}

// What a program has appended to `file` once it holds a complete line (a
// program may create the file before it writes); empty when it never does.
std::string waitForLines(const std::filesystem::path& file);

}  // namespace veltrane::testing
