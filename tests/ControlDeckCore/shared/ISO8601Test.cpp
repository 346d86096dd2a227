#include <gtest/gtest.h>

#include "ControlDeckCore/shared/ISO8601.h"

using namespace veltrane::deck;

TEST(ISO8601, FormatsWholeSecondsInUTCAndParsesBack) {
    Date date = dateFromSecondsSince1970(1738324800.75);  // 2025-01-31T12:00:00.75Z
    EXPECT_EQ(iso8601::format(date), "2025-01-31T12:00:00Z");
    EXPECT_EQ(iso8601::parse("2025-01-31T12:00:00Z"), dateFromSecondsSince1970(1738324800));
    EXPECT_EQ(iso8601::parse("2025-01-31T13:30:00+01:30"), dateFromSecondsSince1970(1738324800));
    const struct {
        double seconds;
        const char* text;
    } formats[] = {
        {0, "1970-01-01T00:00:00Z"},
        {-0.5, "1969-12-31T23:59:59Z"},  // whole seconds toward the past
        {951782400, "2000-02-29T00:00:00Z"},
        {-9214560000, "1678-01-01T00:00:00Z"},
        {9214646399, "2261-12-31T23:59:59Z"},
    };
    for (const auto& f : formats) EXPECT_EQ(iso8601::format(dateFromSecondsSince1970(f.seconds)), f.text) << f.seconds;
    for (const char* bad : {"", "2025-01-31", "2025-01-31T12:00:00", "2025-02-30T12:00:00Z", "2025-01-31T12:00:00.5Z",
                            "2025-01-31 12:00:00Z", "2025-01-31T24:00:00Z"})
        EXPECT_EQ(iso8601::parse(bad), std::nullopt) << bad;
}

TEST(ISO8601, DatesBeyondTheClockRangeDoNotParse) {
    // The clock holds nanoseconds: roughly the years 1678 to 2262.
    EXPECT_EQ(iso8601::parse("2262-01-01T00:00:00Z"), Date(std::chrono::seconds(9214646400)));
    EXPECT_EQ(iso8601::parse("1678-01-01T00:00:00Z"), Date(std::chrono::seconds(-9214560000)));
    for (const char* far : {"4050-01-31T13:00:00+01:00", "9999-12-31T23:59:59Z", "0000-01-01T00:00:00Z"})
        EXPECT_EQ(iso8601::parse(far), std::nullopt) << far;
}
