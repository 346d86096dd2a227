#pragma once
// The file operations of file transfer, behind an interface so tests can
// make any step fail. Failures that the caller must report are thrown as
// std::system_error whose text names the operation, the path and the
// system's reason ("writing /…/staging/….part: No space left on device").

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system/FileDescriptor.h"

namespace veltrane::fs {

class TransferStorage {
public:
    using Path = std::filesystem::path;

    struct Item {
        bool isDirectory = false;
        std::uint64_t size = 0;
    };
    // A regular file opened for reading, and its size when it was opened.
    struct OpenFile {
        std::shared_ptr<const sys::FileDescriptor> descriptor;
        std::uint64_t size = 0;
    };

    virtual ~TransferStorage() = default;

    // The real file system.
    static std::shared_ptr<TransferStorage> local();

    // Creates `folder` and its missing parents; throws unless it is a folder
    // afterwards.
    virtual void createDirectories(const Path& folder) = 0;
    // Replaces `file` with `bytes` in one durable step: a reader sees the old
    // content or the new, never a mix, and nothing is left behind on failure.
    virtual void writeWhole(const Path& file, std::string_view bytes) = 0;
    // Cuts an existing `file` to `offset` bytes, writes `bytes` there and
    // flushes them to disk. Cutting first means a retry after a short write
    // replaces whatever the failed attempt left beyond `offset`.
    virtual void writeAt(const Path& file, std::uint64_t offset, std::string_view bytes) = 0;
    // What `path` names, following symbolic links; nullopt when nothing is there.
    virtual std::optional<Item> inspect(const Path& path) = 0;
    // Whether anything, even a dangling symbolic link, holds this name.
    virtual bool nameTaken(const Path& path) = 0;
    // The whole content of a regular file; nullopt when it cannot be read.
    virtual std::optional<std::string> readWhole(const Path& file) = 0;
    // Opens a regular file for reading; nullopt when it is missing, not a
    // regular file or unreadable. What is read through the descriptor stays
    // the same after the name is removed.
    virtual std::optional<OpenFile> openRegular(const Path& file) = 0;
    // Moves the file `from` to `to` without ever replacing an entry at `to`:
    // false when `to` is taken. Across file systems it copies and then removes
    // `from`; a failed copy leaves nothing at `to`. Other failures throw.
    virtual bool moveWithoutReplacing(const Path& from, const Path& to) = 0;
    // Copies the regular file `from` to the new file `to` durably; a failed
    // copy leaves nothing at `to`.
    virtual void copyFile(const Path& from, const Path& to) = 0;
    // Removes a file, or a folder with everything in it; false when something
    // is still there.
    virtual bool removeAll(const Path& path) = 0;
};

}  // namespace veltrane::fs
