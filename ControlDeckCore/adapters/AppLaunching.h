#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/adapters/AdapterRecords.h"

namespace veltrane::deck {

class AppLaunching {
public:
    virtual ~AppLaunching() = default;

    virtual std::vector<AppRecord> listApplications() = 0;
    virtual std::optional<PNGData> iconPNG(const std::string& bundleId) = 0;
    // By bundle id or name; no match: DeckError::notFound.
    virtual void open(const std::string& application) = 0;
    virtual void refresh() = 0;  // rescan the installed applications
};

}  // namespace veltrane::deck
