#include "ControlDeckCore/adapters/MacLinks.h"

#include <filesystem>

#include "ControlDeckCore/shared/DeckError.h"
#include "platform/apps/Launcher.h"

namespace veltrane::deck {

void MacLinks::openURL(const std::string& url) {
    if (!apps::Launcher::isValidURI(url)) throw DeckError::malformedPayload();
    apps::Launcher::openURI(url);
}

void MacLinks::openPath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path target = std::filesystem::absolute(path, error);
    if (error || path.empty() || !std::filesystem::exists(target, error)) throw DeckError::notFound();
    apps::Launcher::openURI(apps::Launcher::fileURI(target));
}

}  // namespace veltrane::deck
