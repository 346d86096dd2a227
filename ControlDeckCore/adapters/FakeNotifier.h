#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ControlDeckCore/adapters/TimerNotifying.h"

namespace veltrane::deck {

class FakeNotifier : public TimerNotifying {
public:
    void timerFinished(const std::string& id, const std::string& label) override { finished.emplace_back(id, label); }

    std::vector<std::pair<std::string, std::string>> finished;  // (id, label)
};

}  // namespace veltrane::deck
