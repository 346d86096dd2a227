#pragma once
// Tells the user that a timer finished, as a desktop notification.

#include "ControlDeckCore/adapters/TimerNotifying.h"

namespace veltrane::deck {

class MacNotifier : public TimerNotifying {
public:
    static constexpr const char* kAppName = "Veltrane";
    static constexpr const char* kTitle = "Timer finished";

    // Shown at once with the label as its text. Nothing comes back: without
    // a notification service nothing is shown.
    void timerFinished(const std::string& id, const std::string& label) override;
};

}  // namespace veltrane::deck
