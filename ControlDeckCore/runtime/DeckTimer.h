#pragma once

#include <string>

namespace veltrane::deck {

// One countdown timer started by a tablet.
struct DeckTimer {
    std::string id;  // upper-case UUID
    std::string label;
    double remaining = 0;  // seconds left, never stored below zero
    bool running = false;  // false while paused
    double duration = 0;   // seconds it was started with
    bool operator==(const DeckTimer&) const = default;
};

}  // namespace veltrane::deck
