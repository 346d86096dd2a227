#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "ControlDeckCore/data/LayoutDocument.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/shared/Decoding.h"

using namespace veltrane::deck;

namespace {

std::string sanitizedText(const char* json) { return JSON::text(LayoutDocument::parseRequest(json).encode()); }

bool isUUID(const std::string& s) {
    static const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    return std::regex_match(s, shape);
}

}  // namespace

TEST(LayoutDocument, SanitizedGoldens) {
    struct Case {
        const char* what;
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"a lone legacy home page becomes the system page, with a connection widget on top",
         R"({"pages":[{"id":"home","name":"Home","widgets":[
             {"id":"a","type":"media","x":0,"y":0,"w":6,"h":2,"settings":{}}]}]})",
         R"({"activePageId":"system","pages":[{"id":"system","name":"SYSTEM","widgets":[)"
         R"({"h":3,"id":"y-connection","settings":{},"type":"connection","w":12,"x":0,"y":0},)"
         R"({"h":2,"id":"a","settings":{},"type":"media","w":6,"x":0,"y":3}]}],"version":1})"},

        {"every page legacy: the first one's widgets, under the system page",
         R"({"pages":[{"id":"home","name":"x","widgets":[{"id":"c","type":"connection","x":0,"y":0,"w":12,"h":3,"settings":{}}]},
                      {"id":"h2","name":" hOmE\n","widgets":[{"id":"t","type":"timer","x":0,"y":0,"w":6,"h":2,"settings":{}}]}]})",
         R"({"activePageId":"system","pages":[{"id":"system","name":"SYSTEM","widgets":[)"
         R"({"h":3,"id":"c","settings":{},"type":"connection","w":12,"x":0,"y":0}]}],"version":1})"},

        {"clamping, unknown and wrongly cased types dropped, version 1, settings kept",
         R"({"version":7,"activePageId":"p","pages":[{"id":"p","name":"P","widgets":[
             {"id":"conn","type":"connection","x":0,"y":0,"w":12,"h":3,"settings":{}},
             {"id":"c","type":"volume","x":11,"y":5,"w":4,"h":2,"settings":{"k":[1,"two",{"n":null}]}},
             {"id":"d","type":"lock","x":-3,"y":100,"w":1,"h":20,"settings":{}},
             {"id":"e","type":"Volume","x":0,"y":0,"w":2,"h":2,"settings":{}},
             {"id":"f","type":"clock","x":0,"y":0,"w":2,"h":2,"settings":{}}]}]})",
         R"({"activePageId":"p","pages":[{"id":"p","name":"P","widgets":[)"
         R"({"h":3,"id":"conn","settings":{},"type":"connection","w":12,"x":0,"y":0},)"
         R"({"h":2,"id":"c","settings":{"k":[1,"two",{"n":null}]},"type":"volume","w":4,"x":8,"y":5},)"
         R"({"h":8,"id":"d","settings":{},"type":"lock","w":2,"x":0,"y":40}]}],"version":1})"},

        {"connection widget goes to the system page, pushing its widgets down past row 40",
         R"({"activePageId":"a","pages":[
             {"id":"a","name":"A","widgets":[{"id":"t","type":"timer","x":0,"y":0,"w":6,"h":2,"settings":{}}]},
             {"id":"system","name":"Sys","widgets":[{"id":"n","type":"network","x":0,"y":40,"w":4,"h":2,"settings":{}}]}]})",
         R"({"activePageId":"a","pages":[)"
         R"({"id":"a","name":"A","widgets":[{"h":2,"id":"t","settings":{},"type":"timer","w":6,"x":0,"y":0}]},)"
         R"({"id":"system","name":"Sys","widgets":[)"
         R"({"h":3,"id":"y-connection","settings":{},"type":"connection","w":12,"x":0,"y":0},)"
         R"({"h":2,"id":"n","settings":{},"type":"network","w":4,"x":0,"y":43}]}],"version":1})"},

        {"without a system page: connection on the first page, which also becomes active; blank names",
         R"({"activePageId":"gone","pages":[{"id":"a","name":" \u3000 ","widgets":[]},{"id":"b","name":" B ","widgets":[]}]})",
         R"({"activePageId":"a","pages":[{"id":"a","name":"Page","widgets":[)"
         R"({"h":3,"id":"y-connection","settings":{},"type":"connection","w":12,"x":0,"y":0}]},)"
         R"({"id":"b","name":" B ","widgets":[]}],"version":1})"},

        {"active page falls back to system; system pages go last",
         R"({"activePageId":"missing","pages":[
             {"id":"system","name":"SYSTEM","widgets":[{"id":"c","type":"connection","x":0,"y":0,"w":12,"h":3,"settings":{}}]},
             {"id":"a","name":"A","widgets":[]},{"id":"system","name":"Second","widgets":[]},{"id":"b","name":"B","widgets":[]}]})",
         R"({"activePageId":"system","pages":[{"id":"a","name":"A","widgets":[]},{"id":"b","name":"B","widgets":[]},)"
         R"({"id":"system","name":"SYSTEM","widgets":[{"h":3,"id":"c","settings":{},"type":"connection","w":12,"x":0,"y":0}]},)"
         R"({"id":"system","name":"Second","widgets":[]}],"version":1})"},

        {"a connection widget on any page is enough; a renamed home page goes; duplicate ids stay",
         R"({"pages":[{"id":"x","name":" home\n","widgets":[]},{"id":"a","name":"A","widgets":[
             {"id":"d","type":"files","x":0,"y":0,"w":12,"h":2,"settings":{}},
             {"id":"d","type":"connection","x":0,"y":2,"w":12,"h":3,"settings":{}}]}]})",
         R"({"activePageId":"a","pages":[{"id":"a","name":"A","widgets":[)"
         R"({"h":2,"id":"d","settings":{},"type":"files","w":12,"x":0,"y":0},)"
         R"({"h":3,"id":"d","settings":{},"type":"connection","w":12,"x":0,"y":2}]}],"version":1})"},
    };
    for (const auto& c : cases) EXPECT_EQ(sanitizedText(c.input), c.expected) << c.what;
}

TEST(LayoutDocument, NoPagesGivesTheDefault) {
    const auto expected = JSON::text(LayoutDocument::makeDefault().encode());
    for (const char* json : {R"({})", R"({"pages":[]})", R"({"pages":null,"version":3,"activePageId":"x"})"})
        EXPECT_EQ(sanitizedText(json), expected) << json;
}

TEST(LayoutDocument, EmptyIdsGetFreshUUIDs) {
    auto layout = LayoutDocument::parseRequest(R"({"pages":[{"id":"","name":"P","widgets":[
        {"id":"","type":"timer","x":0,"y":0,"w":2,"h":2,"settings":{}},
        {"id":"","type":"timer","x":2,"y":0,"w":2,"h":2,"settings":{}}]}]})");
    ASSERT_EQ(layout.pages.size(), 1u);
    const auto& page = layout.pages[0];
    EXPECT_TRUE(isUUID(page.id)) << page.id;
    EXPECT_EQ(layout.activePageId, page.id) << "the stored active id \"\" names no page any more";
    ASSERT_EQ(page.widgets.size(), 3u);
    EXPECT_EQ(page.widgets[0].id, "y-connection");
    EXPECT_TRUE(isUUID(page.widgets[1].id));
    EXPECT_TRUE(isUUID(page.widgets[2].id));
    EXPECT_NE(page.widgets[1].id, page.widgets[2].id);
}

TEST(LayoutDocument, DefaultLayoutHasExactlyTheBuiltInPages) {
    auto layout = LayoutDocument::makeDefault();
    EXPECT_EQ(layout.version, 1);
    EXPECT_EQ(layout.activePageId, "system");

    struct Row {
        const char* id;
        const char* type;
        int x, y, w, h;
        const char* settings;
    };
    struct Page {
        const char* id;
        const char* name;
        std::vector<Row> widgets;
    };
    const std::vector<Page> expected = {
        {"media", "MEDIA", {
            {"m-media", "media", 0, 0, 8, 3, "{}"},
            {"m-volume", "volume", 8, 0, 4, 2, "{}"},
            {"m-timer", "timer", 0, 3, 6, 2, "{}"},
            {"m-links", "quicklinks", 6, 3, 6, 2, R"({"items":[]})"},
        }},
        {"school", "WORKSPACE", {
            {"s-launcher", "launcher", 0, 0, 8, 4, R"({"bundleIds":[]})"},
            {"s-links", "quicklinks", 8, 0, 4, 4, R"({"items":[]})"},
            {"s-timer", "timer", 0, 4, 6, 2, "{}"},
            {"s-clipboard", "clipboard", 6, 4, 6, 2, "{}"},
        }},
        {"system", "SYSTEM", {
            {"y-connection", "connection", 0, 0, 12, 3, "{}"},
            {"y-system", "system", 0, 3, 8, 2, "{}"},
            {"y-network", "network", 8, 3, 4, 2, "{}"},
            {"y-lock", "lock", 0, 5, 4, 2, R"({"confirm":true})"},
            {"y-screenshot", "screenshot", 4, 5, 4, 2, "{}"},
            {"y-volume", "volume", 8, 5, 4, 2, "{}"},
            {"y-clipboard", "clipboard", 0, 7, 12, 2, "{}"},
            {"y-displays", "displays", 0, 9, 12, 2, "{}"},
            {"y-files", "files", 0, 11, 12, 2, "{}"},
        }},
    };
    ASSERT_EQ(layout.pages.size(), expected.size());
    for (std::size_t p = 0; p < expected.size(); ++p) {
        const auto& page = layout.pages[p];
        EXPECT_EQ(page.id, expected[p].id);
        EXPECT_EQ(page.name, expected[p].name);
        ASSERT_EQ(page.widgets.size(), expected[p].widgets.size()) << page.id;
        for (std::size_t i = 0; i < page.widgets.size(); ++i) {
            const auto& w = page.widgets[i];
            const auto& e = expected[p].widgets[i];
            EXPECT_EQ(w.id, e.id);
            EXPECT_EQ(w.type, e.type) << e.id;
            EXPECT_EQ(std::vector<std::int64_t>({w.x, w.y, w.w, w.h}), std::vector<std::int64_t>({e.x, e.y, e.w, e.h}))
                << e.id;
            EXPECT_EQ(JSON::text(JSONValue(w.settings).any()), e.settings) << e.id;
        }
    }
    EXPECT_EQ(layout.sanitized(), layout) << "sanitising the default changes nothing";
}

TEST(LayoutDocument, KnownWidgetTypes) {
    std::set<std::string_view> types(LayoutDocument::knownWidgetTypes.begin(), LayoutDocument::knownWidgetTypes.end());
    EXPECT_EQ(types.size(), 16u);
    EXPECT_TRUE(LayoutDocument::isKnownWidgetType("custom-actions"));
    EXPECT_FALSE(LayoutDocument::isKnownWidgetType("Volume"));
    EXPECT_FALSE(LayoutDocument::isKnownWidgetType(""));
}

TEST(LayoutDocument, UndecodableRequestsAreMalformed) {
    const char* cases[] = {
        "[]",
        "null",
        "5",
        "not json",
        "",
        R"({"pages":[{"id":"a"}]})",
        R"({"pages":[{"id":"a","name":"A","widgets":[{"id":"w","type":"media","x":"1","y":0,"w":2,"h":2,"settings":{}}]}]})",
        R"({"pages":[{"id":"a","name":"A","widgets":[{"id":"w","type":"media","x":1,"y":0,"w":2,"h":2}]}]})",
        R"({"pages":[{"id":"a","name":"A","widgets":[{"id":"w","type":"media","x":1,"y":0,"w":2,"h":2,"settings":null}]}]})",
        R"({"pages":[{"id":"a","name":"A","widgets":[{"id":"w","type":"media","x":1.5,"y":0,"w":2,"h":2,"settings":{}}]}]})",
        R"({"pages":{"id":"a"}})",
        R"({"version":"1"})",
        R"({"activePageId":5})",
    };
    for (const char* bytes : cases) {
        try {
            LayoutDocument::parseRequest(bytes);
            ADD_FAILURE() << "accepted " << bytes;
        } catch (const DeckError& e) {
            EXPECT_EQ(e.code(), "malformed_payload") << bytes;
        }
        EXPECT_EQ(LayoutDocument::recover(std::string(bytes)), LayoutDocument::makeDefault()) << bytes;
    }
    std::string deep = R"({"pages":[{"id":"a","name":"A","widgets":[{"id":"w","type":"media","x":1,"y":0,"w":2,"h":2,"settings":{"s":)" +
                       std::string(600, '[') + std::string(600, ']') + "}}]}]}";
    EXPECT_THROW(LayoutDocument::parseRequest(deep), DeckError);
}

TEST(LayoutDocument, RecoversMissingAndEmptyBytesAsDefault) {
    EXPECT_EQ(LayoutDocument::recover(std::nullopt), LayoutDocument::makeDefault());
    EXPECT_EQ(LayoutDocument::recover(std::string()), LayoutDocument::makeDefault());
    auto good = LayoutDocument::recover(std::string(R"({"pages":[{"id":"a","name":"A","widgets":[]}],"activePageId":"a"})"));
    ASSERT_EQ(good.pages.size(), 1u);
    EXPECT_EQ(good.pages[0].id, "a");
    EXPECT_EQ(good.pages[0].widgets.size(), 1u) << "sanitised: the connection widget was added";
}

TEST(LayoutDocument, SanitisedLayoutsSurviveTheirOwnEncoding) {
    auto layout = LayoutDocument::parseRequest(R"({"pages":[{"id":"a","name":"A","widgets":[
        {"id":"w","type":"media","x":3.0,"y":2,"w":4,"h":2,"settings":{"big":1e300,"neg":-0.5,"s":"\u00e9"}}]}]})");
    EXPECT_EQ(LayoutDocument::decode(*JSON::parse(JSON::text(layout.encode()))), layout);
}

TEST(Decoding, ErrorsSayWhere) {
    auto json = *JSON::parse(R"({"pages":[{"id":"a","name":"A","widgets":[
        {"id":"w","type":"media","x":0,"y":0,"w":2,"h":2,"settings":{}},
        {"id":"v","type":"media","x":"1","y":0,"w":2,"h":2,"settings":{}}]}]})");
    try {
        LayoutDocument::decode(json);
        FAIL() << "decoded a string x";
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.path(), "pages[0].widgets[1].x");
        EXPECT_STREQ(e.what(), "pages[0].widgets[1].x: expected an integer");
    }
}
