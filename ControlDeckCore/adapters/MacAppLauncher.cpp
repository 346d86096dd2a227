#include "ControlDeckCore/adapters/MacAppLauncher.h"

#include <algorithm>

#include "ControlDeckCore/shared/DeckError.h"
#include "platform/apps/DesktopEntries.h"
#include "platform/apps/IconTheme.h"
#include "platform/apps/Launcher.h"
#include "platform/image/IconRenderer.h"
#include "platform/text/LocalizedCompare.h"

namespace veltrane::deck {

void MacAppLauncher::rescan() {
    // Desktop-file ids are unique by construction: the first folder wins.
    std::vector<AppRecord> records;
    for (auto& entry : apps::DesktopEntries::scan(apps::DesktopEntries::applicationFolders()))
        records.push_back({entry.id, entry.name, entry.path.string()});
    std::stable_sort(records.begin(), records.end(), [](const AppRecord& a, const AppRecord& b) {
        return text::localizedCaseInsensitiveCompare(a.name, b.name) < 0;
    });
    cache_ = std::move(records);
    cacheAt_ = Clock::now();
}

std::vector<AppRecord> MacAppLauncher::freshList() {
    std::lock_guard lock(listLock_);
    const bool fresh = cacheAt_ && !cache_.empty() &&
                       Clock::now() - *cacheAt_ < cacheTTL_;
    if (!fresh) rescan();
    return cache_;
}

std::vector<AppRecord> MacAppLauncher::listApplications() { return freshList(); }

void MacAppLauncher::refresh() {
    std::lock_guard lock(listLock_);
    rescan();
}

std::optional<PNGData> MacAppLauncher::iconPNG(const std::string& bundleId) {
    {
        std::lock_guard lock(iconLock_);
        if (auto it = iconCache_.find(bundleId); it != iconCache_.end()) return it->second;
    }
    auto list = freshList();
    auto record = std::find_if(list.begin(), list.end(), [&](const AppRecord& r) { return r.bundleId == bundleId; });
    if (record == list.end()) return std::nullopt;

    // Drawn outside the lock: two requests for one icon may both draw it.
    auto entry = apps::DesktopEntries::parse(record->path, record->bundleId);
    if (!entry) return std::nullopt;
    auto file = apps::IconTheme::find(entry->entry.icon, apps::DesktopEntries::dataDirectories(), kIconSide);
    if (!file) return std::nullopt;
    auto png = image::IconRenderer::renderPNG(*file, kIconSide);
    if (!png) return std::nullopt;

    std::lock_guard lock(iconLock_);
    iconCache_[bundleId] = *png;
    return png;
}

void MacAppLauncher::open(const std::string& application) {
    auto list = freshList();
    auto record = std::find_if(list.begin(), list.end(), [&](const AppRecord& r) {
        return r.bundleId == application || text::caseInsensitiveEquals(r.name, application);
    });
    if (record == list.end()) throw DeckError::notFound();
    apps::Launcher::launchDesktopFile(record->path);
}

}  // namespace veltrane::deck
