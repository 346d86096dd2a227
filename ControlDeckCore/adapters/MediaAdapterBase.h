#pragma once

#include <functional>

#include "ControlDeckCore/adapters/MediaControlling.h"
#include "ControlDeckCore/shared/LockedValue.h"

namespace veltrane::deck {

// The callback half of MediaControlling for every media adapter: the runtime
// sets the callbacks on its queue while the adapter may call them from its
// own, so both live in locked cells.
class MediaAdapterBase : public MediaControlling {
public:
    std::function<void()> onChange() const override { return onChange_.wrappedValue(); }
    void setOnChange(std::function<void()> callback) override { onChange_.setWrappedValue(std::move(callback)); }
    std::function<void(const lyrics::LyricClockTick&)> onLyricClock() const override {
        return onLyricClock_.wrappedValue();
    }
    void setOnLyricClock(std::function<void(const lyrics::LyricClockTick&)> callback) override {
        onLyricClock_.setWrappedValue(std::move(callback));
    }

protected:
    // Calls onChange when set, outside any lock.
    void changed() const {
        if (auto callback = onChange_.wrappedValue()) callback();
    }

private:
    LockedValue<std::function<void()>> onChange_;
    LockedValue<std::function<void(const lyrics::LyricClockTick&)>> onLyricClock_;
};

}  // namespace veltrane::deck
