#pragma once
// Opens links, files and folders with the applications the desktop has
// chosen for them.

#include "ControlDeckCore/adapters/LinkOpening.h"

namespace veltrane::deck {

class MacLinks : public LinkOpening {
public:
    // Text that is not a URL: DeckError::malformedPayload. The scheme is the
    // caller's to check. No application for it, or one that cannot start,
    // throws the desktop's error (apps::LaunchError).
    void openURL(const std::string& url) override;
    // Nothing at the path: DeckError::notFound. Otherwise as openURL.
    void openPath(const std::string& path) override;
};

}  // namespace veltrane::deck
