#pragma once

#include <string>

namespace veltrane::deck {

class LinkOpening {
public:
    virtual ~LinkOpening() = default;
    virtual void openURL(const std::string& url) = 0;
    virtual void openPath(const std::string& path) = 0;  // an existing file or folder
};

}  // namespace veltrane::deck
