#include <gtest/gtest.h>

#include "ControlDeckCore/runtime/RequestBody.h"
#include "ControlDeckCore/shared/DeckError.h"

using namespace veltrane::deck;

TEST(UploadStartParse, ReadsWhatTheBodyDeclares) {
    struct Row {
        const char* body;
        std::string name;
        std::int64_t size;
        std::optional<std::string> mime;
    };
    const Row rows[] = {
        {R"({"name":"a.txt","size":3,"mime":"text/plain"})", "a.txt", 3, "text/plain"},
        {R"({"name":"a","size":"268435456"})", "a", 268435456, std::nullopt},
        {R"({"size":3.9})", "", 3, std::nullopt},
        {R"({"size":true})", "", 1, std::nullopt},
        {R"({"name":7,"mime":["a/b"]})", "", -1, std::nullopt},
        {R"({"size":"3 "})", "", -1, std::nullopt},
        {R"({"size":1e300})", "", -1, std::nullopt},
        {R"({"size":null,"name":"","mime":""})", "", -1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.body);
        UploadStart start = UploadStart::parse(row.body);
        EXPECT_EQ(start.name, row.name);
        EXPECT_EQ(start.size, row.size);
        EXPECT_EQ(start.mime, row.mime);
    }
}

TEST(UploadStartParse, RefusesBodiesThatAreNoObject) {
    EXPECT_THROW(UploadStart::parse("name=a.txt"), BodyNotJSON);
    EXPECT_THROW(UploadStart::parse(""), BodyNotJSON);
    for (const char* body : {"[]", "\"a\"", "3", "null"}) {
        try {
            UploadStart::parse(body);
            ADD_FAILURE() << body;
        } catch (const DeckError& error) {
            EXPECT_EQ(error.kind(), DeckError::Case::malformedPayload) << body;
        }
    }
}

TEST(ChunkOffset, ReadsTheOffsetQueryValue) {
    const std::pair<std::map<std::string, std::string>, std::int64_t> rows[] = {
        {{}, -1},
        {{{"offset", "0"}}, 0},
        {{{"offset", "+1048576"}}, 1048576},
        {{{"offset", "-5"}}, -5},
        {{{"offset", ""}}, -1},
        {{{"offset", "5a"}}, -1},
        {{{"offset", " 5"}}, -1},
        {{{"offset", "1.0"}}, -1},
        {{{"offset", "99999999999999999999"}}, -1},
        {{{"Offset", "3"}}, -1},
    };
    for (const auto& [query, expected] : rows) EXPECT_EQ(chunkOffset(query), expected);
}
