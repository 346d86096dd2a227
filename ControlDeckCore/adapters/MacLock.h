#pragma once
// Locks the screen through the login session, else the desktop's screen saver.

#include "ControlDeckCore/adapters/Locking.h"

namespace veltrane::deck {

class MacLock : public Locking {
public:
    // Neither answers: permissionDenied "Accessibility".
    void lock() override;
};

}  // namespace veltrane::deck
