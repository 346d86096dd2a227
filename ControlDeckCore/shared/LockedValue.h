#pragma once

#include <mutex>
#include <utility>

namespace veltrane::deck {

// A value guarded by its own lock. Each read and each write is one critical
// section; modify() is a read and a write, so two concurrent modify() calls
// can lose one change. Callers that need an atomic update use their own lock
// or a serial queue.
template <class T>
class LockedValue {
public:
    LockedValue() = default;
    explicit LockedValue(T value) : value_(std::move(value)) {}

    T wrappedValue() const {
        std::lock_guard lock(mutex_);
        return value_;
    }

    // What `reader` makes of the value, under the lock: a part of a large
    // value without copying the rest.
    template <class F>
    auto read(F&& reader) const {
        std::lock_guard lock(mutex_);
        return reader(std::as_const(value_));
    }

    void setWrappedValue(T value) {
        std::unique_lock lock(mutex_);
        std::swap(value_, value);
        lock.unlock();  // the old value is destroyed outside the lock
    }

    // Applies `change` to a copy outside the lock, then writes the copy back,
    // also when `change` throws.
    template <class F>
    void modify(F&& change) {
        T copy = wrappedValue();
        struct WriteBack {
            LockedValue& cell;
            T& copy;
            ~WriteBack() { cell.setWrappedValue(std::move(copy)); }
        } writeBack{*this, copy};
        change(copy);
    }

private:
    mutable std::mutex mutex_;
    T value_{};
};

}  // namespace veltrane::deck
