#pragma once
// The file operations the Control Deck's data directory needs, behind an
// interface so tests can make any step fail.

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::fs {

using Path = std::filesystem::path;
using FileTime = std::chrono::system_clock::time_point;

struct DirectoryEntry {
    Path path;
    bool isDirectory = false;
    std::optional<FileTime> modified;  // absent when it could not be read
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // The real file system.
    static std::shared_ptr<FileSystem> local();

    // Creates `path` and its missing parents with default permissions; true
    // when the folder exists afterwards.
    virtual bool createDirectories(const Path& path) = 0;
    // Creates or truncates `path` and writes `bytes`. With `durable` the bytes
    // are on disk (fsync) before it returns true.
    virtual bool writeFile(const Path& path, std::string_view bytes, bool durable) = 0;
    // Puts `replacement` in place of `target` in one step (a reader sees the
    // old file or the new one, never a mix) and makes the change durable.
    virtual bool replaceFile(const Path& target, const Path& replacement) = 0;
    // The whole content of a regular file; absent when missing or unreadable.
    virtual std::optional<std::string> readFile(const Path& path) = 0;
    virtual bool fileExists(const Path& path) = 0;
    // The entries of a folder in listing order, hidden names (leading ".")
    // left out; absent when the folder cannot be listed.
    virtual std::optional<std::vector<DirectoryEntry>> listDirectory(const Path& path) = 0;
    // Removes a file (a symbolic link itself, never its target); not folders.
    virtual bool removeFile(const Path& path) = 0;
};

}  // namespace veltrane::fs
