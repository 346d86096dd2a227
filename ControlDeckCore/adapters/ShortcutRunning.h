#pragma once

#include <string>

namespace veltrane::deck {

class ShortcutRunning {
public:
    virtual ~ShortcutRunning() = default;
    virtual void run(const std::string& name) = 0;
};

}  // namespace veltrane::deck
