#pragma once
// Step-by-step edits of a layout: each takes the document by value and
// returns the edited copy; an edit that does not apply returns it unchanged.
// A page is the first with the given id, a widget the first of that page with
// the given id. Widget edits do nothing unless `editing` is true.

#include <cstdint>
#include <string>
#include <vector>

#include "ControlDeckCore/data/LayoutDocument.h"

namespace veltrane::deck {

struct LayoutOps {
    LayoutOps() = delete;

    // The largest top row a move gives a widget. Rows are otherwise
    // unbounded, but a row near the integer limit would overflow y + h.
    static constexpr std::int64_t maxRow = 10000;
    // Rounds of pushing widgets apart after an edit before giving up.
    static constexpr int maxSettlingPasses = 40;

    // Different ids and at least one shared cell (touching edges do not count).
    static bool overlaps(const WidgetInstance& a, const WidgetInstance& b);

    // x clamped to 0 to 12 - w, y to 0 to maxRow; then widgets in the way
    // are pushed down.
    static LayoutDocument move(LayoutDocument document, const std::string& pageId, const std::string& widgetId,
                               std::int64_t x, std::int64_t y, bool editing);
    // w clamped to 2 to 12, h to 2 to 8, x pulled left when the widget would
    // leave the grid; then widgets in the way are pushed down.
    static LayoutDocument resize(LayoutDocument document, const std::string& pageId, const std::string& widgetId,
                                 std::int64_t w, std::int64_t h, bool editing);
    // Appends a widget of a known type as placed (an empty id gets a UUID);
    // then widgets in the way are pushed down.
    static LayoutDocument add(LayoutDocument document, const std::string& pageId, WidgetInstance widget,
                              bool editing);
    // Removes every widget of the page with that id.
    static LayoutDocument remove(LayoutDocument document, const std::string& pageId, const std::string& widgetId,
                                 bool editing);
    // Takes every widget with that id off the source page and appends the
    // first, as it was, to the target page.
    static LayoutDocument moveWidgetToPage(LayoutDocument document, const std::string& fromPage,
                                           const std::string& toPage, const std::string& widgetId, bool editing);

    static LayoutDocument createPage(LayoutDocument document, const std::string& name);
    static LayoutDocument renamePage(LayoutDocument document, const std::string& pageId, const std::string& name);
    // Appends a copy named "<name> copy" with new ids for the page and its
    // widgets.
    static LayoutDocument duplicatePage(LayoutDocument document, const std::string& pageId);
    // Removes every page with that id, unless that would leave no page.
    static LayoutDocument deletePage(LayoutDocument document, const std::string& pageId);
    // The pages named in `order` first, each once, then the rest as they were.
    static LayoutDocument reorderPages(LayoutDocument document, const std::vector<std::string>& order);
};

}  // namespace veltrane::deck
