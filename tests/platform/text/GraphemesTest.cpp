#include <gtest/gtest.h>

#include "platform/text/Graphemes.h"

TEST(Graphemes, CountsUserPerceivedCharacters) {
    struct Row {
        const char* text;
        std::size_t count;
    };
    const Row rows[] = {
        {"", 0},
        {"abc", 3},
        {"e\u0301", 1},
        {"\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA", 2},
        {"\r\n", 1},
        {"\u4E2D\u6587", 2},
        {"\U0001F469\u200D\U0001F4BB", 1},
    };
    for (const auto& row : rows) EXPECT_EQ(veltrane::text::characterCount(row.text), row.count) << row.text;
}
