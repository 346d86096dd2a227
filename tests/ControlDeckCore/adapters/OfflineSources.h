#pragma once
// The media adapter's outside sources answering nothing: no cover server,
// catalog, play-queue file, window or one-shot reader is reached, so tests
// of other behaviour stay on the machine.

#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "platform/accessibility/AccessibilityTree.h"
#include "platform/apps/RunningApps.h"

namespace veltrane::testing {

inline void offlineSources(deck::MacMediaAdapter::Environment& environment) {
    using lyrics::OptionalText;
    environment.qq.apps = std::make_shared<apps::FakeRunningApps>();
    environment.qq.windows = std::make_shared<accessibility::NoAccessibility>();
    environment.qq.library = [] { return std::vector<media::QQNowPlaying::LibraryTrack>(); };
    environment.qq.resyncScript = [] { return std::nullopt; };
    auto& covers = environment.covers;
    covers.qqCover = [](const std::string&) { return std::nullopt; };
    covers.qqAlbumMid = [](const std::string&) { return std::nullopt; };
    covers.findQQTrack = [](const std::string&, const OptionalText&, double) { return std::nullopt; };
    covers.cachedCover = [](const std::string&, const OptionalText&) { return std::nullopt; };
    covers.catalogHits = [](auto&&...) { return std::vector<lyrics::CatalogHit>(); };
    covers.artistAlias = [](const OptionalText&) { return std::nullopt; };
    covers.downloadData = [](const std::string&, double) { return std::nullopt; };
}

}  // namespace veltrane::testing
