#pragma once
// A tmpfs of a few hundred kilobytes mounted on a fresh folder, for tests of
// what happens when a disk fills up. Mounting needs privileges that CI may
// not grant; such tests skip with reason() then.

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/support/TempDirectory.h"

namespace veltrane::testing {

class SmallDisk {
public:
    explicit SmallDisk(std::size_t bytes) {
        std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        if (::mount("tmpfs", folder_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
            mounted_ = true;
        else
            reason_ = std::string("cannot mount a tmpfs here (") + std::strerror(errno) + ")";
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(folder_.path().c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& reason() const { return reason_; }
    const std::filesystem::path& path() const { return folder_.path(); }

    std::uint64_t freeBytes() const {
        struct statvfs info {};
        if (::statvfs(path().c_str(), &info) != 0) return 0;
        return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
    }

private:
    TempDirectory folder_;
    bool mounted_ = false;
    std::string reason_;
};

}  // namespace veltrane::testing
