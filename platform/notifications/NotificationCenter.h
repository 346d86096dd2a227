#pragma once
// Notifications that other applications post to the whole desktop, each a
// name with optional user information. Players announce their track this
// way on other desktops; Linux players have no such channel, so the Linux
// binding (NoNotificationCenter) delivers nothing. Tests post through
// FakeNotificationCenter.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace veltrane::notifications {

// A user-information key may be of any hashable kind; readers look up text
// keys only.
using InfoKey = std::variant<std::string, std::int64_t>;

// A user-information value: text, a number (boxed or floating-point, as
// its double value), or a kind no reader takes (dates, lists, data …).
struct InfoValue {
    std::variant<std::monostate, std::string, double> value;

    InfoValue() = default;
    InfoValue(std::string text) : value(std::move(text)) {}
    InfoValue(const char* text) : value(std::string(text)) {}
    InfoValue(double number) : value(number) {}

    const std::string* text() const { return std::get_if<std::string>(&value); }
    const double* number() const { return std::get_if<double>(&value); }
};

using UserInfo = std::map<InfoKey, InfoValue>;

struct Notification {
    std::string name;
    std::optional<UserInfo> userInfo;
};

class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;
    virtual ~NotificationCenter() = default;
    // `observer` gets every notification of that name, or every one when
    // the name is none, on the thread that delivers it. Observers stay for
    // the centre's life.
    virtual void addObserver(std::optional<std::string> name, Observer observer) = 0;
};

class NoNotificationCenter final : public NotificationCenter {
public:
    void addObserver(std::optional<std::string>, Observer) override {}
};

}  // namespace veltrane::notifications
