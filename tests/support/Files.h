#pragma once
// Small file helpers for tests.

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/TempDirectory.h"

namespace veltrane::testsupport {

inline void writeFile(const std::filesystem::path& file, const std::string& text, bool executable = false) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    if (executable) chmod(file.c_str(), 0755);
}

using testing::readFile;

// What a program has appended to `file` once it holds a complete line (a
// program may create the file before it writes); empty when it never does.
std::string waitForLines(const std::filesystem::path& file);

}  // namespace veltrane::testsupport
