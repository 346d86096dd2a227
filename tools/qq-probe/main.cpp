// qq-probe: the QQ Music readings on their own, for tests and benchmarks.
//   qq-probe play-queue FILE                  one JSON object per queue entry
//   qq-probe window PID                       the window reading of PID, or null
//   qq-probe cover ALBUMMID --image-host URL  the cover's JPEG bytes on stdout
// Exit status: 0 when done, 1 when there is nothing to give (a file that is
// no archive, no accessibility bus, no cover), 2 for a wrong command line.
//
// The play queue is read here; the window and the cover are read by
// qq-probe-desktop beside this program, so reading a queue does not pay for
// loading the accessibility, bus and web libraries (most of a short run).
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "ControlDeckCore/media/QQPlayQueue.h"
#include "tools/qq-probe/ProbeOutput.h"

namespace {

namespace QQNowPlaying = veltrane::media::QQNowPlaying;
using nlohmann::ordered_json;
using veltrane::tools::optionalText;
using veltrane::tools::printLine;
using veltrane::tools::usage;

// A parse's heap is mostly fresh pages, and on a virtual machine each first
// touch of a page is a costly trap: the heap the parse is about to grow into
// is faulted in by one call and kept (not trimmed) for it. Only a speed-up:
// a kernel without MADV_POPULATE_WRITE (Linux 5.14) just skips it.
void prefaultHeap(std::size_t bytes) {
#ifndef MADV_POPULATE_WRITE
    constexpr int MADV_POPULATE_WRITE = 23;
#endif
    constexpr std::size_t kMaxBytes = 30u << 20;  // below glibc's largest mmap threshold
    bytes = std::min(bytes, kMaxBytes);
    ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kMaxBytes + (1u << 20)));
    ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(kMaxBytes * 2));
    void* block = std::malloc(bytes);
    if (!block) return;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = (reinterpret_cast<std::uintptr_t>(block) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(block) + bytes) & ~(page - 1);
    if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
    std::free(block);
}

// The file's bytes as a read-only mapping, read in by the one call (no copy,
// no zeroed buffer); at most one byte past the limit, which tells a file
// that is too large. None when it cannot be mapped (not a regular file).
class MappedFile {
public:
    explicit MappedFile(const char* path) {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            size_ = std::min<std::size_t>(static_cast<std::size_t>(info.st_size), QQNowPlaying::kMaxArchiveBytes + 1);
            if (size_ == 0) {
                ok_ = true;
            } else {
                data_ = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
                ok_ = data_ != MAP_FAILED;
                if (!ok_) data_ = nullptr;
            }
        }
        ::close(fd);
    }
    ~MappedFile() {
        if (data_) ::munmap(data_, size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    bool ok() const { return ok_; }
    std::string_view bytes() const { return {static_cast<const char*>(data_), data_ ? size_ : 0}; }

private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
    bool ok_ = false;
};

std::optional<std::string> readStream(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes;
    char chunk[65536];
    while (bytes.size() <= QQNowPlaying::kMaxArchiveBytes && in.read(chunk, sizeof chunk).gcount() > 0)
        bytes.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (in.bad()) return std::nullopt;
    return bytes;
}

int playQueue(const char* path) {
    const MappedFile mapped(path);
    std::optional<std::string> streamed;
    if (!mapped.ok()) streamed = readStream(path);
    if (!mapped.ok() && !streamed) {
        std::fprintf(stderr, "qq-probe: cannot read %s\n", path);
        return 1;
    }
    const std::string_view bytes = mapped.ok() ? mapped.bytes() : std::string_view(*streamed);
    // The parse holds about five times the archive's size (measured on
    // generated queues).
    prefaultHeap(bytes.size() * 5 + (1u << 20));
    const auto tracks = QQNowPlaying::parseLibraryArchive(bytes);
    if (!tracks) {
        std::fprintf(stderr, "qq-probe: %s is no play-queue archive (or over %zu bytes)\n", path,
                     QQNowPlaying::kMaxArchiveBytes);
        return 1;
    }
    for (const auto& track : *tracks) {
        ordered_json entry;
        entry["title"] = track.title;
        entry["artist"] = track.artist;
        entry["album"] = optionalText(track.album);
        entry["duration"] = track.duration;
        entry["songMid"] = optionalText(track.songMid);
        entry["albumMid"] = optionalText(track.albumMid);
        printLine(entry);
    }
    return 0;
}

int desktop(char** argv) {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        std::fputs("qq-probe: cannot find qq-probe-desktop\n", stderr);
        return 1;
    }
    const auto peer = (self.parent_path() / "qq-probe-desktop").string();
    ::execv(peer.c_str(), argv);
    std::fprintf(stderr, "qq-probe: cannot run %s\n", peer.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "play-queue" && argc == 3) return playQueue(argv[2]);
    if ((command == "window" && argc == 3) || (command == "cover" && argc == 5)) return desktop(argv);
    return usage();
}
