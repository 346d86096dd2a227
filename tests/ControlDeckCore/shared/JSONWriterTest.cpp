#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/shared/JSONWriter.h"

using veltrane::deck::JSON;
using veltrane::deck::Json;
using veltrane::deck::JSONWriter;

namespace {

struct WriterCase {
    const char* name;
    std::function<void(JSONWriter&)> write;
    Json same;  // the value whose JSON::text the writer must give
};

std::string written(const std::function<void(JSONWriter&)>& write) {
    JSONWriter writer(8);  // small, so the text grows while written
    write(writer);
    return std::move(writer).text();
}

}  // namespace

TEST(JSONWriter, WritesWhatTheTextRuleWrites) {
    const double nan = std::nan("");
    const WriterCase cases[] = {
        {"escapes and slash",
         [](JSONWriter& w) {
             w.beginObject();
             w.member("t", "q\"b\\n\n\t\x01\x1f/\b\f\r");
             w.member("url", std::string("http://h/a"));
             w.endObject();
         },
         Json{{"t", "q\"b\\n\n\t\x01\x1f/\b\f\r"}, {"url", "http://h/a"}}},
        {"invalid UTF-8 in keys and texts",
         [](JSONWriter& w) {
             w.beginObject();
             w.member("bad\xC3", "\xFF\xFEok\xE2\x82");
             w.endObject();
         },
         Json{{"bad\xC3", "\xFF\xFEok\xE2\x82"}}},
        {"numbers",
         [](JSONWriter& w) {
             w.beginArray();
             for (double d : {1.0, -42.0, 0.5, 0.1 + 0.2, 1e300, 5e-324, -0.0, 9007199254740992.0}) w.value(d);
             w.value(std::int64_t{-9223372036854775807} - 1);
             w.value(std::uint64_t{18446744073709551615u});
             w.value(std::uint16_t{8080});
             w.value(-3);
             w.endArray();
         },
         Json::array({1.0, -42.0, 0.5, 0.1 + 0.2, 1e300, 5e-324, -0.0, 9007199254740992.0,
                      std::int64_t{-9223372036854775807} - 1, std::uint64_t{18446744073709551615u}, 8080, -3})},
        {"literals and absent texts",
         [](JSONWriter& w) {
             w.beginArray();
             w.value(true);
             w.value(false);
             w.null();
             w.value(nullptr);
             w.value(std::optional<std::string>());
             w.value(std::optional<std::string>("x"));
             w.endArray();
         },
         Json::array({true, false, nullptr, nullptr, nullptr, "x"})},
        {"nesting and empty containers",
         [](JSONWriter& w) {
             w.beginObject();
             w.key("a");
             w.beginArray();
             w.beginObject();
             w.endObject();
             w.beginArray();
             w.endArray();
             w.beginObject();
             w.member("k", 1);
             w.key("l");
             w.beginArray();
             w.value(2);
             w.endArray();
             w.endObject();
             w.endArray();
             w.member("b", "");
             w.endObject();
         },
         Json{{"a", Json::array({Json::object(), Json::array(), Json{{"k", 1}, {"l", {2}}}})}, {"b", ""}}},
        {"an embedded value among written ones",
         [](JSONWriter& w) {
             w.beginObject();
             w.member("a", 1);
             w.member("embedded", Json{{"z", "/"}, {"m", {1.5, nullptr}}});
             w.member("z", Json::array());
             w.endObject();
         },
         Json{{"a", 1}, {"embedded", {{"z", "/"}, {"m", {1.5, nullptr}}}}, {"z", Json::array()}}},
        {"a NaN deep inside",
         [nan](JSONWriter& w) {
             w.beginObject();
             w.member("a", 1);
             w.key("b");
             w.beginArray();
             w.value(nan);
             w.endArray();
             w.member("c", "after");
             w.endObject();
         },
         Json{{"a", 1}, {"b", {nan}}, {"c", "after"}}},
        {"infinity in an embedded value",
         [](JSONWriter& w) {
             w.beginObject();
             w.member("e", Json{{"inf", std::numeric_limits<double>::infinity()}});
             w.endObject();
         },
         Json{{"e", {{"inf", std::numeric_limits<double>::infinity()}}}}},
    };
    for (const WriterCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(written(c.write), JSON::text(c.same));
    }
}

TEST(JSONWriter, FailureGivesTheEmptyObjectAndSaysSo) {
    JSONWriter writer;
    writer.beginObject();
    writer.member("ok", 1);
    EXPECT_FALSE(writer.failed());
    writer.member("n", -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(writer.failed());
    writer.endObject();
    EXPECT_EQ(std::move(writer).text(), "{}");
}
