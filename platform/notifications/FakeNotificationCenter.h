#pragma once
// A notification centre tests post to: each post reaches the matching
// observers at once, on the posting thread, in the order they were added.

#include <mutex>
#include <utility>
#include <vector>

#include "platform/notifications/NotificationCenter.h"

namespace veltrane::notifications {

class FakeNotificationCenter final : public NotificationCenter {
public:
    void addObserver(std::optional<std::string> name, Observer observer) override {
        std::lock_guard lock(mutex_);
        observers_.emplace_back(std::move(name), std::move(observer));
    }

    void post(const Notification& notification) {
        std::vector<Observer> matching;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [name, observer] : observers_)
                if (!name || *name == notification.name) matching.push_back(observer);
        }
        for (const auto& observer : matching) observer(notification);
    }

    // The names observed, in order; none for an every-name observer.
    std::vector<std::optional<std::string>> observedNames() const {
        std::lock_guard lock(mutex_);
        std::vector<std::optional<std::string>> names;
        for (const auto& entry : observers_) names.push_back(entry.first);
        return names;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::optional<std::string>, Observer>> observers_;
};

}  // namespace veltrane::notifications
