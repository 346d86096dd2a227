#pragma once

#include "ControlDeckCore/adapters/Locking.h"

namespace veltrane::deck {

class FakeLock : public Locking {
public:
    void lock() override { locked = true; }

    bool locked = false;
};

}  // namespace veltrane::deck
