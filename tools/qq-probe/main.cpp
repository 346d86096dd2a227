// qq-probe: the QQ Music readings on their own, for tests and benchmarks.
//   qq-probe play-queue FILE                  one JSON object per queue entry
//   qq-probe window PID                       the window reading of PID, or null
//   qq-probe cover ALBUMMID --image-host URL  the cover's JPEG bytes on stdout
// Exit status: 0 when done, 1 when there is nothing to give (a file that is
// no archive, no accessibility bus, no cover), 2 for a wrong command line.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "ControlDeckCore/media/QQCover.h"
#include "ControlDeckCore/media/QQPlayQueue.h"
#include "ControlDeckCore/media/QQPlayerReading.h"
#include "platform/accessibility/AtspiAccessibilityTree.h"
#include "platform/apps/RunningApps.h"
#include "platform/script/ScriptHost.h"

namespace {

namespace QQNowPlaying = veltrane::media::QQNowPlaying;
using nlohmann::ordered_json;

constexpr double kReferenceDateOffset = 978'307'200.0;  // 2001-01-01 in Unix seconds

int usage() {
    std::fputs("usage: qq-probe play-queue FILE | window PID | cover ALBUMMID --image-host URL\n", stderr);
    return 2;
}

ordered_json optionalText(const std::optional<std::string>& text) { return text ? ordered_json(*text) : nullptr; }

void printLine(const ordered_json& value) {
    std::cout << value.dump(-1, ' ', false, ordered_json::error_handler_t::replace) << '\n';
}

int playQueue(const char* path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    std::ifstream in(path, std::ios::binary);
    if (error || !in) {
        std::fprintf(stderr, "qq-probe: cannot read %s\n", path);
        return 1;
    }
    // One byte past the limit tells a file that is too large.
    std::string bytes(std::min<std::uintmax_t>(size, QQNowPlaying::kMaxArchiveBytes) + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        std::fprintf(stderr, "qq-probe: cannot read %s\n", path);
        return 1;
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()));
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

int window(const char* pidText) {
    char* end = nullptr;
    const long pid = std::strtol(pidText, &end, 10);
    if (!*pidText || *end || pid <= 0 || pid > INT32_MAX) return usage();
    auto tree = veltrane::accessibility::AtspiAccessibilityTree::ifRunning();
    if (!tree) {
        std::fputs("qq-probe: this session runs no accessibility bus\n", stderr);
        return 1;
    }
    // The process is taken for QQ Music, whatever it calls itself.
    veltrane::apps::FakeRunningApps apps({{.bundleId = std::string(QQNowPlaying::kBundleId),
                                           .localizedName = {},
                                           .pid = static_cast<std::int32_t>(pid)}});
    veltrane::script::NoScriptHost scripts;
    QQNowPlaying::Reader reader(apps, *tree, scripts, [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
               kReferenceDateOffset;
    });
    const auto reading = reader.snapshotFromAccessibility();
    if (!reading) {
        printLine(nullptr);
        return 0;
    }
    ordered_json out;
    out["title"] = optionalText(reading->title);
    out["artist"] = optionalText(reading->artist);
    out["isPlaying"] = reading->isPlaying;
    out["liked"] = reading->liked ? ordered_json(*reading->liked) : ordered_json(nullptr);
    printLine(out);
    return 0;
}

int cover(const char* albumMid, const char* origin) {
    const auto jpeg = QQNowPlaying::coverJPEG(albumMid, origin);
    if (!jpeg) {
        std::fprintf(stderr, "qq-probe: no cover for %s\n", albumMid);
        return 1;
    }
    std::cout.write(jpeg->data(), static_cast<std::streamsize>(jpeg->size()));
    std::cout.flush();
    return std::cout ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "play-queue" && argc == 3) return playQueue(argv[2]);
    if (command == "window" && argc == 3) return window(argv[2]);
    if (command == "cover" && argc == 5 && std::string(argv[3]) == "--image-host") return cover(argv[2], argv[4]);
    return usage();
}
