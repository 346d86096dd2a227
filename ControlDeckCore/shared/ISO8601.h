#pragma once
// Dates as the Control Deck writes them: ISO 8601 internet date-time in UTC
// with whole seconds and "Z" (2025-01-31T12:00:00Z).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane::deck {

using Date = std::chrono::system_clock::time_point;

namespace iso8601 {
std::string format(Date date);
// Takes "Z" or a "+hh:mm"/"-hh:mm" offset; no fractional seconds.
std::optional<Date> parse(std::string_view text);
}  // namespace iso8601

inline std::int64_t millisecondsSince1970(Date date) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
}
inline double secondsSince1970(Date date) {
    return std::chrono::duration<double>(date.time_since_epoch()).count();
}
inline Date dateFromSecondsSince1970(double seconds) {
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace veltrane::deck
