// Any bytes offered as a client's layout: decoding never crashes, failures
// are the malformed-payload error, and what is accepted is a sane layout that
// survives its own save and load and settles under sanitising.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ControlDeckCore/data/FileStore.h"
#include "ControlDeckCore/data/LayoutDocument.h"
#include "ControlDeckCore/shared/DeckError.h"

using namespace veltrane::deck;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkShape(const LayoutDocument& layout, std::int64_t maxRow) {
    check(layout.version == 1);
    check(!layout.pages.empty());
    bool activeFound = false, connectionFound = false, systemSeen = false;
    for (const auto& page : layout.pages) {
        check(!page.id.empty());
        activeFound = activeFound || page.id == layout.activePageId;
        // System pages come last.
        if (page.id == "system") systemSeen = true;
        else check(!systemSeen);
        for (const auto& w : page.widgets) {
            check(LayoutDocument::isKnownWidgetType(w.type) && !w.id.empty());
            check(w.x >= 0 && w.x + w.w <= LayoutDocument::gridColumns);
            check(w.w >= LayoutDocument::minWidth && w.w <= LayoutDocument::maxWidth);
            check(w.h >= LayoutDocument::minHeight && w.h <= LayoutDocument::maxHeight);
            check(w.y >= 0 && w.y <= maxRow);
            connectionFound = connectionFound || w.type == "connection";
        }
    }
    check(activeFound && connectionFound);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    LayoutDocument layout;
    try {
        layout = LayoutDocument::parseRequest(bytes);
    } catch (const DeckError& e) {
        check(e.kind() == DeckError::Case::malformedPayload);
        check(LayoutDocument::recover(bytes) == LayoutDocument::makeDefault());
        return 0;
    }
    // The connection widget's insertion may push rows 3 past the clamp.
    checkShape(layout, LayoutDocument::maxTopRow + 3);

    auto text = FileStore::encode(layout.encode());
    check(text.has_value());
    auto reread = FileStore::decode(*text);
    check(reread.has_value());
    check(LayoutDocument::decode(*reread) == layout);

    // A second pass only clamps those rows; a third changes nothing.
    auto twice = layout.sanitized();
    checkShape(twice, LayoutDocument::maxTopRow);
    auto clamped = layout;
    for (auto& page : clamped.pages)
        for (auto& w : page.widgets) w.y = std::min(w.y, LayoutDocument::maxTopRow);
    check(twice == clamped);
    check(twice.sanitized() == twice);
    return 0;
}
