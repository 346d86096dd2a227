#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <regex>

#include "ControlDeckCore/data/LayoutOps.h"

using namespace veltrane::deck;
using Ops = LayoutOps;

namespace {

WidgetInstance widget(std::string id, std::int64_t x, std::int64_t y, std::int64_t w = 4, std::int64_t h = 2,
                      std::string type = "timer") {
    return {std::move(id), std::move(type), x, y, w, h, {}};
}

// Page "p":  A B D on row 0, C under B.   Page "q": one widget Q.
//   A A A A B B B B D D D D
//   A A A A B B B B D D D D
//           C C C C
//           C C C C
LayoutDocument sample() {
    return {1,
            {DeckPage{"p", "P", {widget("A", 0, 0), widget("B", 4, 0), widget("C", 4, 2), widget("D", 8, 0)}},
             DeckPage{"q", "Q", {widget("Q", 0, 0)}}},
            "p"};
}

// "id x,y wxh" for each widget of a page, in order.
std::string geometry(const LayoutDocument& document, const std::string& pageId) {
    for (const auto& page : document.pages) {
        if (page.id != pageId) continue;
        std::string out;
        for (const auto& w : page.widgets) {
            if (!out.empty()) out += " | ";
            out += w.id + " " + std::to_string(w.x) + "," + std::to_string(w.y) + " " + std::to_string(w.w) + "x" +
                   std::to_string(w.h);
        }
        return out;
    }
    return "no page";
}

bool isUUID(const std::string& s) {
    static const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    return std::regex_match(s, shape);
}

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

}  // namespace

TEST(LayoutOps, Overlaps) {
    EXPECT_FALSE(Ops::overlaps(widget("a", 0, 0), widget("b", 4, 0))) << "side by side";
    EXPECT_FALSE(Ops::overlaps(widget("a", 0, 0), widget("b", 0, 2))) << "one above the other";
    EXPECT_FALSE(Ops::overlaps(widget("a", 0, 0), widget("a", 0, 0))) << "same id";
    EXPECT_TRUE(Ops::overlaps(widget("a", 0, 0, 12, 8), widget("b", 3, 3, 2, 2))) << "inside";
    EXPECT_TRUE(Ops::overlaps(widget("a", 3, 1), widget("b", 0, 0))) << "one shared corner cell";
    EXPECT_TRUE(Ops::overlaps(widget("a", 0, kMax - 1, 4, kMax), widget("b", 0, kMax - 1, 4, 8))) << "near the limit";
    EXPECT_FALSE(Ops::overlaps(widget("a", 0, -kMax, 4, kMax), widget("b", 0, 0, 4, 8)));
}

TEST(LayoutOps, WidgetEdits) {
    struct Case {
        const char* what;
        std::function<LayoutDocument(LayoutDocument)> edit;
        const char* expectedP;
    };
    const Case cases[] = {
        {"move onto a neighbour pushes it down, which pushes a third below it",
         [](LayoutDocument d) { return Ops::move(d, "p", "A", 4, 0, true); },
         "A 4,0 4x2 | B 4,2 4x2 | C 4,4 4x2 | D 8,0 4x2"},
        {"move clamps the column to the grid and the row to 0",
         [](LayoutDocument d) { return Ops::move(d, "p", "B", 10, -5, true); },
         "A 0,0 4x2 | B 8,0 4x2 | C 4,2 4x2 | D 8,2 4x2"},
        {"move clamps a far row so nothing below can overflow",
         [](LayoutDocument d) { return Ops::move(d, "p", "C", -3, kMax, true); },
         "A 0,0 4x2 | B 4,0 4x2 | C 0,10000 4x2 | D 8,0 4x2"},
        {"resize clamps width and height",
         [](LayoutDocument d) { return Ops::resize(d, "p", "A", 1, 20, true); },
         "A 0,0 2x8 | B 4,0 4x2 | C 4,2 4x2 | D 8,0 4x2"},
        {"resize pulls a widget left to stay on the grid, then pushes what it covers",
         [](LayoutDocument d) { return Ops::resize(d, "p", "D", 6, 2, true); },
         "A 0,0 4x2 | B 4,2 4x2 | C 4,4 4x2 | D 6,0 6x2"},
        {"add places the widget as given and pushes the others",
         [](LayoutDocument d) { return Ops::add(d, "p", widget("N", 0, 0, 12, 3, "connection"), true); },
         "A 0,3 4x2 | B 4,3 4x2 | C 4,5 4x2 | D 8,3 4x2 | N 0,0 12x3"},
        {"add does not clamp",
         [](LayoutDocument d) { return Ops::add(d, "p", widget("N", 20, 0, 1, 1, "media"), true); },
         "A 0,0 4x2 | B 4,0 4x2 | C 4,2 4x2 | D 8,0 4x2 | N 20,0 1x1"},
        {"add ignores unknown types", [](LayoutDocument d) { return Ops::add(d, "p", widget("N", 0, 9, 2, 2, "clock"), true); },
         "A 0,0 4x2 | B 4,0 4x2 | C 4,2 4x2 | D 8,0 4x2"},
        {"remove takes every widget with the id",
         [](LayoutDocument d) {
             d.pages[0].widgets.push_back(widget("B", 0, 6));
             return Ops::remove(d, "p", "B", true);
         },
         "A 0,0 4x2 | C 4,2 4x2 | D 8,0 4x2"},
        {"an unknown widget or page changes nothing",
         [](LayoutDocument d) { return Ops::move(Ops::resize(d, "x", "A", 6, 6, true), "p", "Z", 0, 5, true); },
         "A 0,0 4x2 | B 4,0 4x2 | C 4,2 4x2 | D 8,0 4x2"},
        {"widget moved away to another page",
         [](LayoutDocument d) { return Ops::moveWidgetToPage(d, "p", "q", "C", true); },
         "A 0,0 4x2 | B 4,0 4x2 | D 8,0 4x2"},
    };
    for (const auto& c : cases) {
        auto edited = c.edit(sample());
        EXPECT_EQ(geometry(edited, "p"), c.expectedP) << c.what;
        EXPECT_EQ(edited.activePageId, "p") << c.what;
    }
}

TEST(LayoutOps, MoveWidgetToPageKeepsItAsItWas) {
    auto doc = sample();
    doc.pages[0].widgets.push_back(widget("C", 0, 9));  // every C leaves; the first arrives
    auto moved = Ops::moveWidgetToPage(doc, "p", "q", "C", true);
    EXPECT_EQ(geometry(moved, "p"), "A 0,0 4x2 | B 4,0 4x2 | D 8,0 4x2");
    EXPECT_EQ(geometry(moved, "q"), "Q 0,0 4x2 | C 4,2 4x2") << "appended unchanged, no collisions resolved";
    EXPECT_EQ(Ops::moveWidgetToPage(doc, "p", "p", "C", true), doc);
    EXPECT_EQ(Ops::moveWidgetToPage(doc, "p", "nowhere", "C", true), doc);
    EXPECT_EQ(Ops::moveWidgetToPage(doc, "q", "p", "C", true), doc);
}

TEST(LayoutOps, NothingChangesWhenNotEditing) {
    const auto doc = sample();
    EXPECT_EQ(Ops::move(doc, "p", "A", 4, 0, false), doc);
    EXPECT_EQ(Ops::resize(doc, "p", "A", 12, 8, false), doc);
    EXPECT_EQ(Ops::add(doc, "p", widget("N", 0, 0, 12, 3, "media"), false), doc);
    EXPECT_EQ(Ops::remove(doc, "p", "A", false), doc);
    EXPECT_EQ(Ops::moveWidgetToPage(doc, "p", "q", "A", false), doc);
}

TEST(LayoutOps, AddedWidgetWithoutIdGetsAUUID) {
    auto doc = Ops::add(sample(), "q", widget("", 0, 4, 12, 3, "connection"), true);
    ASSERT_EQ(doc.pages[1].widgets.size(), 2u);
    EXPECT_TRUE(isUUID(doc.pages[1].widgets[1].id));
}

TEST(LayoutOps, PushesNearTheRowLimitDoNotOverflow) {
    // A widget parked at the lowest row a move allows can still push another below it.
    auto doc = Ops::move(sample(), "p", "A", 4, kMax, true);
    doc = Ops::move(doc, "p", "B", 4, kMax, true);
    EXPECT_EQ(geometry(doc, "p"), "A 4,10002 4x2 | B 4,10000 4x2 | C 4,2 4x2 | D 8,0 4x2");

    // Documents given to these edits need not be sanitised: rows and heights
    // at the integer limit saturate instead of wrapping around.
    LayoutDocument raw{1, {DeckPage{"p", "P", {widget("far", 0, kMax - 4, 4, kMax)}}}, "p"};
    raw = Ops::add(raw, "p", widget("new", 0, kMax - 6, 4, kMax, "media"), true);
    EXPECT_EQ(geometry(raw, "p"), "far 0," + std::to_string(kMax) + " 4x" + std::to_string(kMax) + " | new 0," +
                                      std::to_string(kMax - 6) + " 4x" + std::to_string(kMax));
    LayoutDocument wide{1, {DeckPage{"p", "P", {widget("w", kMax, 0, std::numeric_limits<std::int64_t>::min(), 2)}}}, "p"};
    EXPECT_EQ(geometry(Ops::move(wide, "p", "w", kMax, 0, true), "p"), "w " + std::to_string(kMax) + ",0 " +
                                                                            std::to_string(std::numeric_limits<std::int64_t>::min()) + "x2");
    EXPECT_EQ(geometry(Ops::resize(wide, "p", "w", 4, 2, true), "p"), "w 8,0 4x2");
}

TEST(LayoutOps, PageEdits) {
    struct Case {
        const char* what;
        std::function<LayoutDocument(LayoutDocument)> edit;
        std::vector<std::string> expectedNames;  // page names in order
        std::string expectedActive;
    };
    const Case cases[] = {
        {"create with an empty name", [](LayoutDocument d) { return Ops::createPage(d, ""); }, {"P", "Q", "Page"}, "p"},
        {"create keeps a name of spaces", [](LayoutDocument d) { return Ops::createPage(d, "  "); }, {"P", "Q", "  "}, "p"},
        {"rename to blank", [](LayoutDocument d) { return Ops::renamePage(d, "q", " \n\t"); }, {"P", "Page"}, "p"},
        {"rename keeps spaces around a name", [](LayoutDocument d) { return Ops::renamePage(d, "q", " New "); },
         {"P", " New "}, "p"},
        {"delete the active page: the first remaining becomes active",
         [](LayoutDocument d) { return Ops::deletePage(d, "p"); }, {"Q"}, "q"},
        {"delete another page", [](LayoutDocument d) { return Ops::deletePage(d, "q"); }, {"P"}, "p"},
        {"delete the only page does nothing",
         [](LayoutDocument d) { return Ops::deletePage(Ops::deletePage(d, "q"), "p"); }, {"P"}, "p"},
        {"delete when every page has the id does nothing",
         [](LayoutDocument d) {
             d.pages[1].id = "p";
             return Ops::deletePage(d, "p");
         },
         {"P", "Q"}, "p"},
        {"reorder: named pages once each in the given order, then the rest",
         [](LayoutDocument d) {
             d = Ops::createPage(Ops::createPage(d, "R"), "S");
             std::string r = d.pages[2].id;
             return Ops::reorderPages(d, {r, "unknown", "q", r});
         },
         {"R", "Q", "P", "S"}, "p"},
        {"reorder with pages sharing an id loses none",
         [](LayoutDocument d) {
             d.pages[1].id = "p";
             return Ops::reorderPages(d, {"p"});
         },
         {"P", "Q"}, "p"},
    };
    for (const auto& c : cases) {
        auto edited = c.edit(sample());
        std::vector<std::string> names;
        for (const auto& page : edited.pages) names.push_back(page.name);
        EXPECT_EQ(names, c.expectedNames) << c.what;
        EXPECT_EQ(edited.activePageId, c.expectedActive) << c.what;
        EXPECT_EQ(edited.version, 1) << c.what;
    }
}

TEST(LayoutOps, CreatedPagesAreEmptyWithFreshIds) {
    auto doc = Ops::createPage(Ops::createPage(sample(), "R"), "R");
    ASSERT_EQ(doc.pages.size(), 4u);
    EXPECT_TRUE(isUUID(doc.pages[2].id));
    EXPECT_NE(doc.pages[2].id, doc.pages[3].id);
    EXPECT_TRUE(doc.pages[2].widgets.empty());
}

TEST(LayoutOps, DuplicatePageCopiesWidgetsWithNewIds) {
    auto doc = LayoutDocument::makeDefault();
    auto copied = Ops::duplicatePage(doc, "media");
    ASSERT_EQ(copied.pages.size(), 4u);
    const auto& original = copied.pages[0];
    const auto& copy = copied.pages[3];
    EXPECT_EQ(copy.name, "MEDIA copy");
    EXPECT_TRUE(isUUID(copy.id));
    ASSERT_EQ(copy.widgets.size(), original.widgets.size());
    for (std::size_t i = 0; i < copy.widgets.size(); ++i) {
        auto expected = original.widgets[i];
        EXPECT_TRUE(isUUID(copy.widgets[i].id));
        expected.id = copy.widgets[i].id;
        EXPECT_EQ(copy.widgets[i], expected);
    }
    EXPECT_EQ(copied.activePageId, "system");
    EXPECT_EQ(Ops::duplicatePage(doc, "nope"), doc);
}
