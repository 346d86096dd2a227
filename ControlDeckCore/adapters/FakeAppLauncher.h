#pragma once

#include <string>
#include <vector>

#include "ControlDeckCore/adapters/AppLaunching.h"

namespace veltrane::deck {

class FakeAppLauncher : public AppLaunching {
public:
    static std::vector<AppRecord> sampleApps();

    explicit FakeAppLauncher(std::vector<AppRecord> apps = sampleApps()) : apps(std::move(apps)) {}

    std::vector<AppRecord> listApplications() override { return apps; }
    std::optional<PNGData> iconPNG(const std::string&) override { return std::nullopt; }
    // Records the argument as given when a bundle id or name matches exactly.
    void open(const std::string& application) override;
    void refresh() override {}

    std::vector<AppRecord> apps;
    std::vector<std::string> opened;
};

}  // namespace veltrane::deck
