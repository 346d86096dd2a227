#include "ControlDeckCore/adapters/FakeAppLauncher.h"

#include <algorithm>

#include "ControlDeckCore/shared/DeckError.h"

namespace veltrane::deck {

std::vector<AppRecord> FakeAppLauncher::sampleApps() {
    return {
        {"com.apple.Safari", "Safari", "/Applications/Safari.app"},
        {"com.google.Chrome", "Google Chrome", "/Applications/Google Chrome.app"},
        {"com.microsoft.VSCode", "Visual Studio Code", "/Applications/Visual Studio Code.app"},
        {"com.apple.Terminal", "Terminal", "/System/Applications/Utilities/Terminal.app"},
        {"com.apple.finder", "Finder", "/System/Library/CoreServices/Finder.app"},
        {"com.spotify.client", "Spotify", "/Applications/Spotify.app"},
    };
}

void FakeAppLauncher::open(const std::string& application) {
    bool known = std::any_of(apps.begin(), apps.end(), [&](const AppRecord& app) {
        return app.bundleId == application || app.name == application;
    });
    if (!known) throw DeckError::notFound();
    opened.push_back(application);
}

}  // namespace veltrane::deck
