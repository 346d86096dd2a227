#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace veltrane::testing {

// A temporary folder that tests fill with small files (a fake /proc or
// /sys); removed with the object.
class FixtureTree {
public:
    FixtureTree() {
        char pattern[] = "/tmp/veltrane-fixture-XXXXXX";
        if (::mkdtemp(pattern)) root_ = pattern;
    }
    ~FixtureTree() {
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }
    FixtureTree(const FixtureTree&) = delete;
    FixtureTree& operator=(const FixtureTree&) = delete;

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
    std::string root_;
};

}  // namespace veltrane::testing
