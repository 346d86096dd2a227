#include <gtest/gtest.h>

#include "ControlDeckCore/shared/DecimalText.h"

using veltrane::deck::parseUnsignedDecimal;

TEST(DecimalText, ReadsWhatTheSystemsNumberParsingReads) {
    struct Case {
        const char* text;
        std::uint64_t max;
        std::optional<std::uint64_t> expected;
    };
    const Case cases[] = {
        {"0", 9, 0},         {"42", 100, 42},      {"+7", 9, 7},          {"-0", 9, 0},
        {"-1", 9, {}},       {"", 9, {}},          {"+", 9, {}},          {"-", 9, {}},
        {" 1", 9, {}},       {"1 ", 9, {}},        {"1a", 9, {}},         {"0x1", 99, {}},
        {"10", 9, {}},       {"4294967295", 4294967295u, 4294967295u},    {"4294967296", 4294967295u, {}},
        {"000000000000000000000012", 12, 12},      {"18446744073709551615", UINT64_MAX, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, {}},  {"++1", 9, {}},        {"1.0", 9, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parseUnsignedDecimal(c.text, c.max), c.expected) << c.text;
}
