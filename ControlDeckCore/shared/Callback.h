#pragma once

#include <functional>
#include <memory>

#include "ControlDeckCore/shared/LockedValue.h"

namespace veltrane::deck {

template <class Signature>
class Callback;

// A callback slot that one thread may set while others call it. Callers take
// a snapshot with get() and call it outside the lock, so a callback may
// replace itself (or any other) while it runs.
template <class R, class... Args>
class Callback<R(Args...)> {
public:
    using Function = std::function<R(Args...)>;

    Callback() = default;
    Callback(Function fn) { *this = std::move(fn); }
    Callback(const Callback&) = delete;
    Callback& operator=(const Callback&) = delete;

    Callback& operator=(Function fn) {
        slot_.setWrappedValue(fn ? std::make_shared<const Function>(std::move(fn)) : nullptr);
        return *this;
    }

    // The current function, or null when none is set.
    std::shared_ptr<const Function> get() const { return slot_.wrappedValue(); }
    explicit operator bool() const { return get() != nullptr; }

private:
    LockedValue<std::shared_ptr<const Function>> slot_;
};

}  // namespace veltrane::deck
