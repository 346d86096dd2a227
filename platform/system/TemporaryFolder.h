#pragma once
// A new folder that only our user can enter, removed with its contents when
// the object goes.

#include <filesystem>
#include <optional>
#include <string>

namespace veltrane::sys {

class TemporaryFolder {
public:
    // Under $TMPDIR when it is an absolute path, else /tmp; named `prefix`
    // followed by six random characters. None when it cannot be created.
    static std::optional<TemporaryFolder> create(const std::string& prefix);

    ~TemporaryFolder();
    TemporaryFolder(TemporaryFolder&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
    TemporaryFolder& operator=(TemporaryFolder&& other) noexcept {
        std::swap(path_, other.path_);  // the old folder goes with `other`
        return *this;
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    explicit TemporaryFolder(std::filesystem::path path) : path_(std::move(path)) {}
    std::filesystem::path path_;
};

}  // namespace veltrane::sys
