#include "ControlDeckCore/data/LayoutOps.h"

#include <algorithm>
#include <limits>

#include "ControlDeckCore/shared/Whitespace.h"
#include "platform/system/UUID.h"

namespace veltrane::deck {

namespace {

using Int = std::int64_t;

// Documents handed to these edits need not be sanitised, so any sum of two
// coordinates may pass the integer range; they saturate instead.
Int saturatingAdd(Int a, Int b) {
    Int sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<Int>::max() : std::numeric_limits<Int>::min();
    return sum;
}

Int saturatingSub(Int a, Int b) {
    Int difference;
    if (__builtin_sub_overflow(a, b, &difference))
        return b < 0 ? std::numeric_limits<Int>::max() : std::numeric_limits<Int>::min();
    return difference;
}

// `value` within [lo, hi]; lo wins when the range is empty.
Int clampLowFirst(Int value, Int lo, Int hi) { return std::max(lo, std::min(value, hi)); }

DeckPage* findPage(LayoutDocument& document, const std::string& pageId) {
    auto it = std::find_if(document.pages.begin(), document.pages.end(),
                           [&](const DeckPage& page) { return page.id == pageId; });
    return it == document.pages.end() ? nullptr : &*it;
}

WidgetInstance* findWidget(DeckPage& page, const std::string& widgetId) {
    auto it = std::find_if(page.widgets.begin(), page.widgets.end(),
                           [&](const WidgetInstance& w) { return w.id == widgetId; });
    return it == page.widgets.end() ? nullptr : &*it;
}

Int bottom(const WidgetInstance& w) { return saturatingAdd(w.y, w.h); }

// Pushes widgets down, first off the moving one (which stays put), then off
// each other, until nothing overlaps or the passes run out.
void resolveCollisions(std::vector<WidgetInstance>& widgets, const std::string& movingId) {
    auto moving = std::find_if(widgets.begin(), widgets.end(), [&](const WidgetInstance& w) { return w.id == movingId; });
    if (moving == widgets.end()) return;
    const WidgetInstance anchor = *moving;
    for (auto& w : widgets)
        if (w.id != anchor.id && LayoutOps::overlaps(w, anchor)) w.y = bottom(anchor);

    for (int pass = 0; pass < LayoutOps::maxSettlingPasses; ++pass) {
        bool overlapped = false;
        for (std::size_t i = 0; i < widgets.size(); ++i) {
            for (std::size_t j = i + 1; j < widgets.size(); ++j) {
                WidgetInstance& a = widgets[i];
                WidgetInstance& b = widgets[j];
                if (a.id == b.id || !LayoutOps::overlaps(a, b)) continue;
                overlapped = true;
                if (b.id == movingId)
                    a.y = bottom(b);
                else
                    b.y = bottom(a);
            }
        }
        if (!overlapped) break;
    }
}

// Applies `change` to the widget, then pushes aside what it now covers.
template <class Change>
LayoutDocument placeWidget(LayoutDocument document, const std::string& pageId, const std::string& widgetId,
                           bool editing, Change&& change) {
    if (!editing) return document;
    DeckPage* page = findPage(document, pageId);
    WidgetInstance* widget = page ? findWidget(*page, widgetId) : nullptr;
    if (!widget) return document;
    change(*widget);
    resolveCollisions(page->widgets, widgetId);
    return document;
}

std::string pageNameOrDefault(const std::string& name) {
    return trimmingWhitespaceAndNewlines(name).empty() ? "Page" : name;
}

}  // namespace

bool LayoutOps::overlaps(const WidgetInstance& a, const WidgetInstance& b) {
    if (a.id == b.id) return false;
    // In 128 bits the edges of any two rectangles compare exactly.
    using Wide = __int128;
    return Wide(a.x) < Wide(b.x) + b.w && Wide(b.x) < Wide(a.x) + a.w && Wide(a.y) < Wide(b.y) + b.h &&
           Wide(b.y) < Wide(a.y) + a.h;
}

LayoutDocument LayoutOps::move(LayoutDocument document, const std::string& pageId, const std::string& widgetId,
                               Int x, Int y, bool editing) {
    return placeWidget(std::move(document), pageId, widgetId, editing, [&](WidgetInstance& widget) {
        widget.x = clampLowFirst(x, 0, saturatingSub(LayoutDocument::gridColumns, widget.w));
        widget.y = clampLowFirst(y, 0, maxRow);
    });
}

LayoutDocument LayoutOps::resize(LayoutDocument document, const std::string& pageId, const std::string& widgetId,
                                 Int w, Int h, bool editing) {
    return placeWidget(std::move(document), pageId, widgetId, editing, [&](WidgetInstance& widget) {
        widget.w = std::clamp(w, LayoutDocument::minWidth, LayoutDocument::maxWidth);
        widget.h = std::clamp(h, LayoutDocument::minHeight, LayoutDocument::maxHeight);
        if (widget.x > LayoutDocument::gridColumns - widget.w) widget.x = LayoutDocument::gridColumns - widget.w;
    });
}

LayoutDocument LayoutOps::add(LayoutDocument document, const std::string& pageId, WidgetInstance widget,
                              bool editing) {
    if (!editing || !LayoutDocument::isKnownWidgetType(widget.type)) return document;
    DeckPage* page = findPage(document, pageId);
    if (!page) return document;
    if (widget.id.empty()) widget.id = sys::uuidString();
    std::string id = widget.id;
    page->widgets.push_back(std::move(widget));
    resolveCollisions(page->widgets, id);
    return document;
}

LayoutDocument LayoutOps::remove(LayoutDocument document, const std::string& pageId, const std::string& widgetId,
                                 bool editing) {
    if (!editing) return document;
    if (DeckPage* page = findPage(document, pageId))
        std::erase_if(page->widgets, [&](const WidgetInstance& w) { return w.id == widgetId; });
    return document;
}

LayoutDocument LayoutOps::moveWidgetToPage(LayoutDocument document, const std::string& fromPage,
                                           const std::string& toPage, const std::string& widgetId, bool editing) {
    if (!editing || fromPage == toPage) return document;
    DeckPage* source = findPage(document, fromPage);
    DeckPage* target = findPage(document, toPage);
    if (!source || !target) return document;
    WidgetInstance* widget = findWidget(*source, widgetId);
    if (!widget) return document;
    WidgetInstance moved = *widget;
    std::erase_if(source->widgets, [&](const WidgetInstance& w) { return w.id == widgetId; });
    target->widgets.push_back(std::move(moved));
    return document;
}

LayoutDocument LayoutOps::createPage(LayoutDocument document, const std::string& name) {
    document.pages.push_back(DeckPage{sys::uuidString(), name.empty() ? "Page" : name, {}});
    return document;
}

LayoutDocument LayoutOps::renamePage(LayoutDocument document, const std::string& pageId, const std::string& name) {
    if (DeckPage* page = findPage(document, pageId)) page->name = pageNameOrDefault(name);
    return document;
}

LayoutDocument LayoutOps::duplicatePage(LayoutDocument document, const std::string& pageId) {
    const DeckPage* page = findPage(document, pageId);
    if (!page) return document;
    DeckPage copy = *page;
    copy.id = sys::uuidString();
    copy.name += " copy";
    for (auto& w : copy.widgets) w.id = sys::uuidString();
    document.pages.push_back(std::move(copy));
    return document;
}

LayoutDocument LayoutOps::deletePage(LayoutDocument document, const std::string& pageId) {
    if (document.pages.size() < 2) return document;
    auto remaining = std::count_if(document.pages.begin(), document.pages.end(),
                                   [&](const DeckPage& page) { return page.id != pageId; });
    // A document keeps at least one page, even when every page has that id.
    if (remaining == 0 || remaining == static_cast<std::ptrdiff_t>(document.pages.size())) return document;
    std::erase_if(document.pages, [&](const DeckPage& page) { return page.id == pageId; });
    if (document.activePageId == pageId) document.activePageId = document.pages.front().id;
    return document;
}

LayoutDocument LayoutOps::reorderPages(LayoutDocument document, const std::vector<std::string>& order) {
    std::vector<bool> taken(document.pages.size(), false);
    std::vector<DeckPage> reordered;
    reordered.reserve(document.pages.size());
    // Positions, not ids, mark what is taken, so pages that share an id are
    // each placed once and none is lost.
    for (const auto& id : order) {
        for (std::size_t i = 0; i < document.pages.size(); ++i) {
            if (!taken[i] && document.pages[i].id == id) {
                taken[i] = true;
                reordered.push_back(document.pages[i]);
                break;
            }
        }
    }
    for (std::size_t i = 0; i < document.pages.size(); ++i)
        if (!taken[i]) reordered.push_back(document.pages[i]);
    document.pages = std::move(reordered);
    return document;
}

}  // namespace veltrane::deck
