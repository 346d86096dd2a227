#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ControlDeckCore/shared/JSON.h"

using veltrane::deck::JSON;
using veltrane::deck::Json;

TEST(JSONText, WritesTheTextRule) {
    struct Row {
        Json value;
        const char* text;
    };
    const Row rows[] = {
        {Json::parse(R"({"b":{"z":1,"a":[true,null]},"a":"x"})"), R"({"a":"x","b":{"a":[true,null],"z":1}})"},
        {Json{{"url", "http://h/a"}}, R"({"url":"http:\/\/h\/a"})"},
        {Json{{"v", 1.0}}, R"({"v":1})"},
        {Json{{"v", -42.0}}, R"({"v":-42})"},
        {Json{{"v", 0.5}}, R"({"v":0.5})"},
        {Json{{"v", 0.1}}, R"({"v":0.1})"},
        {Json{{"v", 1e300}}, R"({"v":1e+300})"},
        {Json{{"v", 9007199254740991.0}}, R"({"v":9007199254740991})"},
        {Json{{"v", std::int64_t{-9223372036854775807}}}, R"({"v":-9223372036854775807})"},
        {Json{{"t", "caf\u00E9 \u4E2D\u6587 \U0001F600"}}, "{\"t\":\"caf\u00E9 \u4E2D\u6587 \U0001F600\"}"},
        {Json{{"t", "q\"b\\n\n\t\x01"}}, R"({"t":"q\"b\\n\n\t\u0001"})"},
        {Json::object(), "{}"},
        {Json::array(), "[]"},
        {Json{{"bad", "\xFF"}}, "{\"bad\":\"\xEF\xBF\xBD\"}"},
    };
    for (const auto& row : rows) EXPECT_EQ(JSON::text(row.value), row.text);
}

// Texts are scanned several bytes at a time: an escape must be found at
// every offset, next to characters that need none.
TEST(JSONText, EscapesAtEveryPositionOfALongText) {
    const struct {
        char character;
        std::string_view written;
    } rows[] = {{'"', "\\\""},       {'\\', "\\\\"}, {'/', "\\/"}, {'\n', "\\n"},    {'\x01', "\\u0001"},
                {'\x1f', "\\u001f"}, {' ', " "},     {'!', "!"},   {'\x7f', "\x7f"}, {'0', "0"}};
    for (const auto& row : rows) {
        for (std::size_t length = 1; length <= 19; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                std::string text(length, '.');
                text[at] = row.character;
                const std::string expected =
                    "[\"" + std::string(at, '.') + std::string(row.written) + std::string(length - at - 1, '.') + "\"]";
                ASSERT_EQ(JSON::text(Json::array({text})), expected) << length << " " << at;
            }
        }
    }
}

TEST(JSONText, UnwritableNumbersGiveEmptyObject) {
    EXPECT_EQ(JSON::text(Json{{"a", 1}, {"n", std::nan("")}}), "{}");
    EXPECT_EQ(JSON::text(Json{{"deep", {{"inf", std::numeric_limits<double>::infinity()}}}}), "{}");
}

TEST(JSONText, PrettyFormForDataFiles) {
    EXPECT_EQ(JSON::prettyText(Json::parse(R"({"b":[1,{}],"a":{"x":"\/"},"e":[]})")),
              "{\n  \"a\" : {\n    \"x\" : \"\\/\"\n  },\n  \"b\" : [\n    1,\n    {}\n  ],\n  \"e\" : []\n}");
    EXPECT_EQ(JSON::prettyText(Json{{"n", std::nan("")}}), std::nullopt);
}

TEST(JSONText, DoublesRoundTrip) {
    for (double d : {1e-300, 5e-324, 0.1 + 0.2, 123456789.123456789, -2.5e-8, 1.7976931348623157e308, 3e20}) {
        auto parsed = JSON::parse(JSON::text(Json::array({d})));
        ASSERT_TRUE(parsed);
        EXPECT_EQ((*parsed)[0].get<double>(), d) << JSON::text(Json::array({d}));
    }
}

TEST(JSONCoercion, Int) {
    EXPECT_EQ(JSON::toInt(Json("+7")), 7);
    EXPECT_EQ(JSON::toInt(Json("-0")), 0);
    EXPECT_EQ(JSON::toInt(Json("-9223372036854775808")), INT64_MIN);
    EXPECT_EQ(JSON::toInt(Json("9223372036854775808")), std::nullopt);
    EXPECT_EQ(JSON::toInt(Json(3.9)), 3);
    EXPECT_EQ(JSON::toInt(Json(-3.9)), -3);
    EXPECT_EQ(JSON::toInt(Json(12)), 12);
    EXPECT_EQ(JSON::toInt(Json(true)), 1);
    for (const char* bad : {" 5", "5.0", "0x10", "", "+", "-", "5 ", "1e3"})
        EXPECT_EQ(JSON::toInt(Json(bad)), std::nullopt) << bad;
    EXPECT_EQ(JSON::toInt(Json(std::nan(""))), std::nullopt);
    EXPECT_EQ(JSON::toInt(Json(1e19)), std::nullopt);
    EXPECT_EQ(JSON::toInt(Json(std::uint64_t{18446744073709551615u})), std::nullopt);
    EXPECT_EQ(JSON::toInt(nullptr), std::nullopt);
    EXPECT_EQ(JSON::toInt(Json(nullptr)), std::nullopt);
    EXPECT_EQ(JSON::toInt(Json::array({1})), std::nullopt);
}

TEST(JSONCoercion, Double) {
    EXPECT_EQ(JSON::toDouble(Json("2.5")), 2.5);
    EXPECT_EQ(JSON::toDouble(Json("1e3")), 1000.0);
    EXPECT_EQ(JSON::toDouble(Json("inf")), std::numeric_limits<double>::infinity());
    EXPECT_EQ(JSON::toDouble(Json(4)), 4.0);
    for (const char* bad : {" 2.5", "", "\t1", "2.5x", "abc"}) EXPECT_EQ(JSON::toDouble(Json(bad)), std::nullopt) << bad;
    EXPECT_EQ(JSON::toDouble(Json(std::string("\0" "1", 2))), std::nullopt);
    EXPECT_EQ(JSON::toDouble(nullptr), std::nullopt);
}

TEST(JSONCoercion, Bool) {
    EXPECT_EQ(JSON::toBool(Json("true")), std::nullopt);
    EXPECT_EQ(JSON::toBool(Json(2)), true);
    EXPECT_EQ(JSON::toBool(Json(0)), false);
    EXPECT_EQ(JSON::toBool(Json(1)), true);
    EXPECT_EQ(JSON::toBool(Json(0.0)), false);
    EXPECT_EQ(JSON::toBool(Json(false)), false);
    EXPECT_EQ(JSON::toBool(Json(nullptr)), std::nullopt);
}

TEST(JSONParse, RejectsInvalidText) {
    EXPECT_FALSE(JSON::parse("{\"a\":"));
    EXPECT_FALSE(JSON::parse(""));
    EXPECT_TRUE(JSON::parse(std::string(JSON::kMaxNestingDepth, '[') + std::string(JSON::kMaxNestingDepth, ']')));
    EXPECT_FALSE(JSON::parse(std::string(JSON::kMaxNestingDepth + 1, '[') + std::string(JSON::kMaxNestingDepth + 1, ']')));
    EXPECT_FALSE(JSON::parse(std::string(1 << 20, '[')));
    ASSERT_TRUE(JSON::parse("{\"a\":[1,2]}"));
    const Json obj = Json{{"k", 1}};
    EXPECT_NE(JSON::member(obj, "k"), nullptr);
    EXPECT_EQ(JSON::member(obj, "missing"), nullptr);
    EXPECT_EQ(JSON::member(Json::array(), "k"), nullptr);
}
