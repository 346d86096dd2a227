#include "ControlDeckCore/data/LayoutDocument.h"

#include <algorithm>

#include "ControlDeckCore/shared/Decoding.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/shared/Whitespace.h"
#include "platform/system/UUID.h"

namespace veltrane::deck {

namespace {

constexpr std::string_view kSystemPageId = "system";
constexpr std::int64_t kConnectionRows = 3;

WidgetInstance widget(std::string id, std::string type, std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h,
                      JSONValue::Object settings = {}) {
    return {std::move(id), std::move(type), x, y, w, h, std::move(settings)};
}

JSONValue::Object emptyList(const char* key) { return {{key, JSONValue::Array{}}}; }

bool isLegacyHomePage(const DeckPage& page) {
    if (page.id == "home") return true;
    // Only ASCII letters upper-case to the letters of "HOME", so an ASCII
    // comparison ignoring case is the full Unicode test.
    std::string_view name = trimmingWhitespaceAndNewlines(page.name);
    return name.size() == 4 && std::equal(name.begin(), name.end(), "HOME", [](char a, char b) {
               return (a >= 'a' && a <= 'z' ? static_cast<char>(a - 'a' + 'A') : a) == b;
           });
}

void sanitizeWidgetGeometry(WidgetInstance& w) {
    w.y = std::clamp<std::int64_t>(w.y, 0, LayoutDocument::maxTopRow);
    w.w = std::clamp(w.w, LayoutDocument::minWidth, LayoutDocument::maxWidth);
    w.h = std::clamp(w.h, LayoutDocument::minHeight, LayoutDocument::maxHeight);
    w.x = std::clamp<std::int64_t>(w.x, 0, LayoutDocument::gridColumns - 1);
    if (w.x + w.w > LayoutDocument::gridColumns) w.x = LayoutDocument::gridColumns - w.w;
}

DeckPage sanitizedPage(const DeckPage& page) {
    DeckPage out{page.id.empty() ? sys::uuidString() : page.id, page.name, {}};
    if (trimmingWhitespaceAndNewlines(out.name).empty()) out.name = "Page";
    for (const auto& w : page.widgets) {
        if (!LayoutDocument::isKnownWidgetType(w.type)) continue;
        WidgetInstance kept = w;
        if (kept.id.empty()) kept.id = sys::uuidString();
        sanitizeWidgetGeometry(kept);
        out.widgets.push_back(std::move(kept));
    }
    return out;
}

}  // namespace

bool LayoutDocument::isKnownWidgetType(std::string_view type) {
    return std::find(knownWidgetTypes.begin(), knownWidgetTypes.end(), type) != knownWidgetTypes.end();
}

LayoutDocument LayoutDocument::makeDefault() {
    DeckPage media{"media", "MEDIA", {
        widget("m-media", "media", 0, 0, 8, 3),
        widget("m-volume", "volume", 8, 0, 4, 2),
        widget("m-timer", "timer", 0, 3, 6, 2),
        widget("m-links", "quicklinks", 6, 3, 6, 2, emptyList("items")),
    }};
    DeckPage school{"school", "WORKSPACE", {
        widget("s-launcher", "launcher", 0, 0, 8, 4, emptyList("bundleIds")),
        widget("s-links", "quicklinks", 8, 0, 4, 4, emptyList("items")),
        widget("s-timer", "timer", 0, 4, 6, 2),
        widget("s-clipboard", "clipboard", 6, 4, 6, 2),
    }};
    DeckPage system{"system", "SYSTEM", {
        widget("y-connection", "connection", 0, 0, 12, 3),
        widget("y-system", "system", 0, 3, 8, 2),
        widget("y-network", "network", 8, 3, 4, 2),
        widget("y-lock", "lock", 0, 5, 4, 2, {{"confirm", true}}),
        widget("y-screenshot", "screenshot", 4, 5, 4, 2),
        widget("y-volume", "volume", 8, 5, 4, 2),
        widget("y-clipboard", "clipboard", 0, 7, 12, 2),
        widget("y-displays", "displays", 0, 9, 12, 2),
        widget("y-files", "files", 0, 11, 12, 2),
    }};
    return {1, {std::move(media), std::move(school), std::move(system)}, "system"};
}

LayoutDocument LayoutDocument::sanitized() const {
    if (pages.empty()) return makeDefault();

    std::vector<DeckPage> cleaned;
    cleaned.reserve(pages.size());
    for (const auto& page : pages) cleaned.push_back(sanitizedPage(page));

    // Layouts from before the fixed pages had a "home" page.
    std::vector<DeckPage> kept;
    for (const auto& page : cleaned)
        if (!isLegacyHomePage(page)) kept.push_back(page);
    if (kept.empty()) kept.push_back(DeckPage{std::string(kSystemPageId), "SYSTEM", cleaned.front().widgets});

    auto hasConnection = std::any_of(kept.begin(), kept.end(), [](const DeckPage& page) {
        return std::any_of(page.widgets.begin(), page.widgets.end(),
                           [](const WidgetInstance& w) { return w.type == "connection"; });
    });
    auto firstSystem = [&kept] {
        return std::find_if(kept.begin(), kept.end(), [](const DeckPage& page) { return page.id == kSystemPageId; });
    };
    if (!hasConnection) {
        auto target = firstSystem();
        if (target == kept.end()) target = kept.begin();
        std::vector<WidgetInstance> widgets{widget("y-connection", "connection", 0, 0, gridColumns, kConnectionRows)};
        for (auto w : target->widgets) {
            w.y += kConnectionRows;  // may pass maxTopRow; rows already within it, so no overflow
            widgets.push_back(std::move(w));
        }
        target->widgets = std::move(widgets);
    }

    LayoutDocument out{1, {}, activePageId};
    bool activeExists = std::any_of(kept.begin(), kept.end(), [&](const DeckPage& page) { return page.id == activePageId; });
    if (!activeExists) {
        auto system = firstSystem();
        out.activePageId = system != kept.end() ? system->id : kept.front().id;
    }
    std::stable_partition(kept.begin(), kept.end(), [](const DeckPage& page) { return page.id != kSystemPageId; });
    out.pages = std::move(kept);
    return out;
}

LayoutDocument LayoutDocument::parseRequest(std::string_view data) {
    auto json = coding::parse(data);
    if (!json) throw DeckError::malformedPayload();
    try {
        return decode(*json).sanitized();
    } catch (const DecodingError&) {
        throw DeckError::malformedPayload();
    }
}

LayoutDocument LayoutDocument::recover(const std::optional<std::string>& data) {
    if (!data || data->empty()) return makeDefault();
    try {
        return parseRequest(*data);
    } catch (const DeckError&) {
        return makeDefault();
    }
}

LayoutDocument LayoutDocument::decode(const Json& json) {
    KeyedDecoder keys(json);
    LayoutDocument out;
    out.version = keys.decodeIfPresent<std::int64_t>("version").value_or(1);
    out.pages = keys.decodeIfPresent<std::vector<DeckPage>>("pages").value_or(std::vector<DeckPage>{});
    out.activePageId = keys.decodeIfPresent<std::string>("activePageId")
                           .value_or(out.pages.empty() ? std::string("home") : out.pages.front().id);
    return out;
}

Json LayoutDocument::encode() const {
    return Json{{"version", version}, {"pages", coding::encodeArray(pages)}, {"activePageId", activePageId}};
}

}  // namespace veltrane::deck
