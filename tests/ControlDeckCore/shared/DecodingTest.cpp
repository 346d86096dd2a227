#include <gtest/gtest.h>

#include "ControlDeckCore/shared/Decoding.h"

using namespace veltrane::deck;

namespace {
Json parsed(const char* text) { return *JSON::parse(text); }
}  // namespace

TEST(Decoding, IntegersMustBeWholeNumbersInRange) {
    struct Case {
        const char* json;
        std::optional<std::int64_t> expected;
    };
    const Case cases[] = {
        {"3", 3},
        {"-3", -3},
        {"3.0", 3},
        {"1e3", 1000},
        {"-0.0", 0},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"1e19", std::nullopt},
        {"3.5", std::nullopt},
        {"\"3\"", std::nullopt},
        {"true", std::nullopt},
        {"[3]", std::nullopt},
    };
    for (const auto& c : cases) {
        if (c.expected) {
            EXPECT_EQ(coding::decode<std::int64_t>(parsed(c.json)), *c.expected) << c.json;
        } else {
            EXPECT_THROW(coding::decode<std::int64_t>(parsed(c.json)), DecodingError) << c.json;
        }
    }
}

TEST(Decoding, PortsAreSixteenBitWholeNumbers) {
    EXPECT_EQ(coding::decode<std::uint16_t>(parsed("0")), 0);
    EXPECT_EQ(coding::decode<std::uint16_t>(parsed("65535")), 65535);
    EXPECT_EQ(coding::decode<std::uint16_t>(parsed("8742.0")), 8742);
    for (const char* bad : {"65536", "-1", "8742.5", "18446744073709551615", "\"80\"", "false"})
        EXPECT_THROW(coding::decode<std::uint16_t>(parsed(bad)), DecodingError) << bad;
}

TEST(Decoding, RequiredAndOptionalMembers) {
    Json object = parsed(R"({"s":"text","n":null,"b":true})");
    KeyedDecoder keys(object);
    EXPECT_EQ(keys.decode<std::string>("s"), "text");
    EXPECT_THROW(keys.decode<std::string>("n"), DecodingError) << "null is missing for a required key";
    EXPECT_THROW(keys.decode<std::string>("absent"), DecodingError);
    EXPECT_EQ(keys.decodeIfPresent<std::string>("n"), std::nullopt);
    EXPECT_EQ(keys.decodeIfPresent<std::string>("absent"), std::nullopt);
    EXPECT_THROW(keys.decodeIfPresent<std::string>("b"), DecodingError) << "present with the wrong type";
    EXPECT_THROW(KeyedDecoder(parsed("[]")), DecodingError);
}

TEST(Decoding, RefusesNestingDeeperThanTheLimit) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(coding::parse(nested(coding::maxNestingDepth)).has_value());
    EXPECT_FALSE(coding::parse(nested(coding::maxNestingDepth + 1)).has_value());
    // Deep enough to overflow the stack of any recursive walk.
    EXPECT_FALSE(coding::parse(nested(200000)).has_value());
    EXPECT_FALSE(coding::parse("{\"a\":1").has_value());
    EXPECT_FALSE(coding::parse("").has_value());
}

TEST(Decoding, FreeFormObjectsKeepTheirValues) {
    auto object = coding::decode<JSONValue::Object>(parsed(R"({"n":1,"b":false,"l":[null,"x"]})"));
    EXPECT_EQ(JSON::text(JSONValue(object).any()), R"({"b":false,"l":[null,"x"],"n":1})");
    EXPECT_THROW(coding::decode<JSONValue::Object>(parsed("[]")), DecodingError);
    EXPECT_THROW(coding::decode<JSONValue::Object>(parsed("null")), DecodingError);
}
