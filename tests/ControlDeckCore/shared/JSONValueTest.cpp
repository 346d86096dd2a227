#include <gtest/gtest.h>

#include "ControlDeckCore/shared/JSONValue.h"

using veltrane::deck::JSON;
using veltrane::deck::Json;
using veltrane::deck::JSONValue;
using Kind = JSONValue::Kind;

TEST(JSONValue, DecodesEachKindInOrder) {
    auto value = JSONValue::from(*JSON::parse(R"([1,true,"t",null,{"e":[]}])"));
    const auto* array = value.ifArray();
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(array->size(), 5u);
    EXPECT_EQ((*array)[0].kind(), Kind::number);
    EXPECT_EQ((*array)[1].kind(), Kind::boolean);
    EXPECT_EQ((*array)[2].kind(), Kind::string);
    EXPECT_EQ((*array)[3].kind(), Kind::null);
    EXPECT_EQ((*array)[4], JSONValue(JSONValue::Object{{"e", JSONValue::Array{}}}));
}

TEST(JSONValue, NumbersStayNumbers) {
    // A payload {"level":1} must come back as 1, not true.
    auto payload = JSONValue::from(*JSON::parse(R"({"level":1,"off":0,"half":0.5,"two":2})"));
    EXPECT_EQ(JSON::text(payload.any()), R"({"half":0.5,"level":1,"off":0,"two":2})");
    EXPECT_EQ(JSONValue::from(Json(0)).kind(), Kind::number);
    EXPECT_EQ(JSONValue::from(Json(true)).kind(), Kind::boolean);
    EXPECT_EQ(JSONValue::from(nullptr), JSONValue());
}

TEST(JSONValue, RoundTripsThroughPlainJSON) {
    JSONValue value(JSONValue::Object{
        {"list", JSONValue::Array{1.5, "s", false, nullptr}},
        {"nested", JSONValue::Object{{"x", "/path"}}},
    });
    EXPECT_EQ(JSONValue::from(value.any()), value);
    EXPECT_EQ(JSON::text(value.any()), R"({"list":[1.5,"s",false,null],"nested":{"x":"\/path"}})");
    EXPECT_FALSE(JSONValue(1.0) == JSONValue(true));
    EXPECT_FALSE(JSONValue(JSONValue::Array{1}) == JSONValue(JSONValue::Array{1, 2}));
}
