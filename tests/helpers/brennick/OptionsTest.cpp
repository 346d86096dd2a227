#include <gtest/gtest.h>

#include "helpers/brennick/Options.h"

using veltrane::brennick::Options;

TEST(BrennickOptions, ReadsTheFirstDisplayIDAndRejectsEveryMalformedOne) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::optional<std::uint32_t> displayID;
    };
    const Case cases[] = {
        {"no arguments", {}, std::nullopt},
        {"option without value", {"--display-id"}, std::nullopt},
        {"empty value", {"--display-id", ""}, std::nullopt},
        {"letters", {"--display-id", "abc"}, std::nullopt},
        {"negative", {"--display-id", "-1"}, std::nullopt},
        {"above 32 bits", {"--display-id", "4294967296"}, std::nullopt},
        {"misspelt option", {"--displayid", "5"}, std::nullopt},
        {"lone plus", {"--display-id", "+"}, std::nullopt},
        {"trailing space", {"--display-id", "7 "}, std::nullopt},
        {"plus sign", {"--display-id", "+7"}, 7u},
        {"largest", {"--display-id", "4294967295"}, 4294967295u},
        {"leading zeros", {"--display-id", "0007"}, 7u},
        {"first one counts", {"--display-id", "5", "--display-id", "7"}, 5u},
        {"other arguments ignored", {"-v", "x", "--display-id", "12", "--other"}, 12u},
        {"first one bad", {"--display-id", "x", "--display-id", "7"}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto options = Options::parse(c.arguments);
        ASSERT_EQ(options.has_value(), c.displayID.has_value());
        if (options) {
            EXPECT_EQ(options->displayID, *c.displayID);
        }
    }
}
