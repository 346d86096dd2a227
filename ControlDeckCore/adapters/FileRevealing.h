#pragma once

#include <filesystem>

namespace veltrane::deck {

// The desktop's file manager, where received files are shown to the user.
class FileRevealing {
public:
    virtual ~FileRevealing() = default;
    // Whether received files go to the user's own folders; a set that must not
    // touch them keeps the inbox under the data directory.
    virtual bool usesUserFolders() const = 0;
    // Both return at once; a file manager that is slow to answer holds no caller.
    virtual void showFolder(const std::filesystem::path& folder) = 0;
    virtual void showFile(const std::filesystem::path& file) = 0;
};

}  // namespace veltrane::deck
