#include "ControlDeckCore/shared/ISO8601.h"

namespace veltrane::deck::iso8601 {

using namespace std::chrono;

std::string format(Date date) {
    auto secs = floor<seconds>(date);
    auto day = floor<days>(secs);
    year_month_day ymd{day};
    hh_mm_ss hms{secs - day};
    // Digits put by hand, not by snprintf, which cost more than the rest of
    // a state's dates: the clock's range (about 1678 to 2262) keeps every
    // year to four digits.
    char text[] = "0000-00-00T00:00:00Z";
    auto put = [&text](std::size_t at, long value, std::size_t width) {
        for (std::size_t i = width; i-- > 0; value /= 10) text[at + i] = static_cast<char>('0' + value % 10);
    };
    put(0, static_cast<int>(ymd.year()), 4);
    put(5, static_cast<unsigned>(ymd.month()), 2);
    put(8, static_cast<unsigned>(ymd.day()), 2);
    put(11, hms.hours().count(), 2);
    put(14, hms.minutes().count(), 2);
    put(17, hms.seconds().count(), 2);
    return std::string(text, sizeof text - 1);
}

namespace {
bool digits(std::string_view s, std::size_t at, std::size_t count, int& out) {
    if (at + count > s.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}
}  // namespace

std::optional<Date> parse(std::string_view s) {
    int y, mo, d, h, mi, se;
    if (s.size() < 20 || !digits(s, 0, 4, y) || s[4] != '-' || !digits(s, 5, 2, mo) || s[7] != '-' ||
        !digits(s, 8, 2, d) || s[10] != 'T' || !digits(s, 11, 2, h) || s[13] != ':' || !digits(s, 14, 2, mi) ||
        s[16] != ':' || !digits(s, 17, 2, se))
        return std::nullopt;
    int offsetMinutes = 0;
    std::string_view zone = s.substr(19);
    if (zone == "Z") {
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        int oh, om;
        if (!digits(zone, 1, 2, oh) || !digits(zone, 4, 2, om) || oh > 23 || om > 59) return std::nullopt;
        offsetMinutes = (oh * 60 + om) * (zone[0] == '-' ? -1 : 1);
    } else {
        return std::nullopt;
    }
    year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok() || h > 23 || mi > 59 || se > 59) return std::nullopt;
    sys_seconds when = sys_days(ymd) + hours(h) + minutes(mi) + seconds(se) - minutes(offsetMinutes);
    // Date counts nanoseconds, about 292 years either side of 1970; a year
    // like 4050 must not wrap around.
    constexpr seconds limit = duration_cast<seconds>(Date::duration::max());
    if (when.time_since_epoch() > limit || when.time_since_epoch() < -limit) return std::nullopt;
    return time_point_cast<Date::duration>(when);
}

}  // namespace veltrane::deck::iso8601
