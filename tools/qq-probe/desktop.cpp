// qq-probe-desktop: the window and cover commands of qq-probe (which runs
// this program for them), with the libraries they need.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "ControlDeckCore/media/QQCover.h"
#include "ControlDeckCore/media/QQPlayerReading.h"
#include "platform/accessibility/AtspiAccessibilityTree.h"
#include "platform/apps/RunningApps.h"
#include "platform/script/ScriptHost.h"
#include "tools/qq-probe/ProbeOutput.h"

namespace {

namespace QQNowPlaying = veltrane::media::QQNowPlaying;
using nlohmann::ordered_json;
using veltrane::tools::optionalText;
using veltrane::tools::printLine;
using veltrane::tools::usage;

constexpr double kReferenceDateOffset = 978'307'200.0;  // 2001-01-01 in Unix seconds

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
    if (command == "window" && argc == 3) return window(argv[2]);
    if (command == "cover" && argc == 5 && std::string(argv[3]) == "--image-host") return cover(argv[2], argv[4]);
    return usage();
}
