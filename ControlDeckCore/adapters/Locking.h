#pragma once

namespace veltrane::deck {

class Locking {
public:
    virtual ~Locking() = default;
    virtual void lock() = 0;  // locks the screen
};

}  // namespace veltrane::deck
