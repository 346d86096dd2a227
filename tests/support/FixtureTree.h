#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/TempDirectory.h"

namespace veltrane::testing {

// A temporary folder that tests fill with small files (a fake /proc or
// /sys); removed with the object.
class FixtureTree {
public:
    const std::string& root() const { return root_; }
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }

    // Writes `content` to `relative`, making its folders.
    void write(const std::string& relative, const std::string& content) const {
        std::filesystem::path file = path(relative);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    }
    void folder(const std::string& relative) const { std::filesystem::create_directories(path(relative)); }
    void remove(const std::string& relative) const { std::filesystem::remove_all(path(relative)); }

private:
    TempDirectory folder_;
    std::string root_ = folder_.path().string();
};

}  // namespace veltrane::testing
