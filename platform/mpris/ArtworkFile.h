#pragma once
// The picture behind a player's `file://` artwork URL, read only when the file
// changed: players announce the same cover on every property read.

#include <cstddef>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include <sys/types.h>

namespace veltrane::mpris {

class ArtworkFile {
public:
    // Larger pictures are not read at all.
    static constexpr std::size_t kMaxBytes = 20'000'000;

    // The bytes of the regular file at `path`; null for a missing file,
    // anything but a regular file (a FIFO or device would block or never
    // end), an empty one or one over the limit. The last file's bytes are
    // kept and the same bytes handed out again while its path, size and modification time
    // stay the same.
    std::shared_ptr<const std::string> read(const std::string& path);

private:
    struct Key {
        std::string path;
        off_t size = 0;
        timespec mtime{};
        ino_t inode = 0;
    };
    std::optional<Key> key_;
    std::shared_ptr<const std::string> bytes_;
};

}  // namespace veltrane::mpris
