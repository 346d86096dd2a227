#include <gtest/gtest.h>

#include "ControlDeckCore/data/ClipboardHistoryItem.h"
#include "ControlDeckCore/data/CustomActionDef.h"
#include "ControlDeckCore/shared/Decoding.h"

using namespace veltrane::deck;

namespace {
Json parsed(const char* text) { return *JSON::parse(text); }
}  // namespace

TEST(ClipboardHistoryItem, CodesItsDateAsISO8601) {
    ClipboardHistoryItem item{"ID-1", "copied / text", *iso8601::parse("2025-01-31T12:00:00Z")};
    EXPECT_EQ(JSON::text(item.encode()), R"({"createdAt":"2025-01-31T12:00:00Z","id":"ID-1","text":"copied \/ text"})");
    EXPECT_EQ(ClipboardHistoryItem::decode(item.encode()), item);
    auto offset = ClipboardHistoryItem::decode(parsed(R"({"id":"a","text":"t","createdAt":"2025-01-31T13:00:00+01:00"})"));
    EXPECT_EQ(offset.createdAt, item.createdAt);
}

TEST(ClipboardHistoryItem, EveryKeyIsRequired) {
    for (const char* bad : {
             R"({"id":"a","text":"t"})",
             R"({"id":"a","text":"t","createdAt":"yesterday"})",
             R"({"id":"a","text":"t","createdAt":1738324800})",
             R"({"id":"a","text":null,"createdAt":"2025-01-31T12:00:00Z"})",
             R"({"text":"t","createdAt":"2025-01-31T12:00:00Z"})",
         })
        EXPECT_THROW(ClipboardHistoryItem::decode(parsed(bad)), DecodingError) << bad;
}

TEST(ClipboardHistoryItem, OneBadEntryFailsTheList) {
    auto list = parsed(R"([{"id":"a","text":"t","createdAt":"2025-01-31T12:00:00Z"},{"id":"b","text":"u"}])");
    try {
        coding::decode<std::vector<ClipboardHistoryItem>>(list);
        FAIL();
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.path(), "[1].createdAt");
    }
    auto good = coding::decode<std::vector<ClipboardHistoryItem>>(parsed("[]"));
    EXPECT_TRUE(good.empty());
}

TEST(CustomActionDef, PayloadIsARequiredObject) {
    auto action = CustomActionDef::decode(
        parsed(R"({"id":"x","title":"Louder","icon":"speaker","commandType":"volume.set","payload":{"level":1,"on":true}})"));
    EXPECT_EQ(action.commandType, "volume.set");
    // A level of 1 stays a number through a save.
    EXPECT_EQ(JSON::text(action.encode()),
              R"({"commandType":"volume.set","icon":"speaker","id":"x","payload":{"level":1,"on":true},"title":"Louder"})");
    EXPECT_EQ(CustomActionDef::decode(action.encode()), action);
    EXPECT_NO_THROW(CustomActionDef::decode(parsed(R"({"id":"x","title":"t","icon":"i","commandType":"c","payload":{}})")));
    for (const char* bad : {
             R"({"id":"x","title":"t","icon":"i","commandType":"c"})",
             R"({"id":"x","title":"t","icon":"i","commandType":"c","payload":null})",
             R"({"id":"x","title":"t","icon":"i","commandType":"c","payload":[]})",
             R"({"id":"x","title":"t","commandType":"c","payload":{}})",
         })
        EXPECT_THROW(CustomActionDef::decode(parsed(bad)), DecodingError) << bad;
}
