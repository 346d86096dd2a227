#pragma once

#include <string>

namespace veltrane::deck {

class TimerNotifying {
public:
    virtual ~TimerNotifying() = default;
    // Announces a finished timer to the user; never throws.
    virtual void timerFinished(const std::string& id, const std::string& label) = 0;
};

}  // namespace veltrane::deck
