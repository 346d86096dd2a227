#pragma once

#include <string>
#include <vector>

#include "ControlDeckCore/adapters/LinkOpening.h"

namespace veltrane::deck {

class FakeLinks : public LinkOpening {
public:
    void openURL(const std::string& url) override { urls.push_back(url); }
    void openPath(const std::string& path) override { paths.push_back(path); }

    std::vector<std::string> urls;
    std::vector<std::string> paths;
};

}  // namespace veltrane::deck
