#pragma once

#include <chrono>
#include <functional>

#include "ControlDeckCore/shared/ISO8601.h"

namespace veltrane::deck {

// Where objects whose rules run on elapsed time (code and session expiry,
// ticket life) read "now", so tests can set the time.
using DeckClock = std::function<Date()>;

inline Date systemNow() { return std::chrono::system_clock::now(); }

}  // namespace veltrane::deck
