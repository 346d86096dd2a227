#pragma once

#include <string>
#include <vector>

#include "ControlDeckCore/adapters/ShortcutRunning.h"

namespace veltrane::deck {

class FakeShortcuts : public ShortcutRunning {
public:
    void run(const std::string& name) override { ran.push_back(name); }

    std::vector<std::string> ran;
};

}  // namespace veltrane::deck
