#pragma once

#include <filesystem>
#include <mutex>
#include <vector>

#include "ControlDeckCore/adapters/FileRevealing.h"

namespace veltrane::deck {

// Records what would have been shown; the user's folders are never touched.
class FakeFileManager : public FileRevealing {
public:
    bool usesUserFolders() const override { return false; }
    void showFolder(const std::filesystem::path& folder) override {
        std::lock_guard lock(mutex_);
        folders_.push_back(folder);
    }
    void showFile(const std::filesystem::path& file) override {
        std::lock_guard lock(mutex_);
        files_.push_back(file);
    }

    std::vector<std::filesystem::path> shownFolders() const {
        std::lock_guard lock(mutex_);
        return folders_;
    }
    std::vector<std::filesystem::path> shownFiles() const {
        std::lock_guard lock(mutex_);
        return files_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::filesystem::path> folders_;
    std::vector<std::filesystem::path> files_;
};

}  // namespace veltrane::deck
