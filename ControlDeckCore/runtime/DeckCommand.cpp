#include "ControlDeckCore/runtime/DeckCommand.h"

#include <algorithm>
#include <cmath>

#include <uriparser/Uri.h>

#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/shared/Whitespace.h"
#include "platform/text/UnicodeText.h"

namespace veltrane::deck {

namespace {

[[noreturn]] void malformed() { throw DeckError::malformedPayload(); }

// String arguments must be JSON strings; any other type counts as absent.
std::optional<std::string> optionalText(const Json& object, std::string_view key) {
    const Json* v = JSON::member(object, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::string requiredText(const Json& object, std::string_view key) {
    auto text = optionalText(object, key);
    if (!text) malformed();
    return *text;
}

std::string requiredNonEmpty(const Json& object, std::string_view key) {
    std::string text = requiredText(object, key);
    if (text.empty()) malformed();
    return text;
}

double requiredNumber(const Json& object, std::string_view key) {
    auto d = JSON::toDouble(JSON::member(object, key));
    if (!d) malformed();
    return *d;
}

// Not-a-number and negatives become 0, then anything above 1 becomes 1.
double unitLevel(double level) {
    if (!(level >= 0)) return 0;
    return std::min(level, 1.0);
}

std::string requiredSafePath(const Json& object) {
    std::string path = requiredText(object, "path");
    if (!DeckCommand::isSafePath(path)) malformed();
    return path;
}

using Parser = DeckCommand (*)(const Json&);

struct Entry {
    std::string_view wireName;
    Parser parse;
};

// The allowlist, in the order the parser tests the names.
constexpr Entry entries[DeckCommand::commandCount] = {
    {"set_volume",
     [](const Json& o) -> DeckCommand {
         return DeckCommand::SetVolume{unitLevel(requiredNumber(o, "level")), optionalText(o, "deviceId")};
     }},
    {"volume_up", [](const Json&) -> DeckCommand { return DeckCommand::VolumeUp{}; }},
    {"volume_down", [](const Json&) -> DeckCommand { return DeckCommand::VolumeDown{}; }},
    {"set_mute",
     [](const Json& o) -> DeckCommand {
         auto muted = JSON::toBool(JSON::member(o, "muted"));
         if (!muted) malformed();
         return DeckCommand::SetMute{*muted};
     }},
    {"toggle_mute", [](const Json&) -> DeckCommand { return DeckCommand::ToggleMute{}; }},
    {"set_output_device",
     [](const Json& o) -> DeckCommand { return DeckCommand::SetOutputDevice{requiredNonEmpty(o, "deviceId")}; }},
    {"set_brightness",
     [](const Json& o) -> DeckCommand {
         std::string displayId = requiredNonEmpty(o, "displayId");
         return DeckCommand::SetBrightness{std::move(displayId), unitLevel(requiredNumber(o, "level"))};
     }},
    {"media_play_pause", [](const Json&) -> DeckCommand { return DeckCommand::MediaPlayPause{}; }},
    {"media_next", [](const Json&) -> DeckCommand { return DeckCommand::MediaNext{}; }},
    {"media_previous", [](const Json&) -> DeckCommand { return DeckCommand::MediaPrevious{}; }},
    {"media_seek",
     [](const Json& o) -> DeckCommand {
         double position = requiredNumber(o, "position");
         if (!std::isfinite(position)) malformed();
         return DeckCommand::MediaSeek{std::max(position, 0.0)};
     }},
    {"media_like",
     [](const Json& o) -> DeckCommand { return DeckCommand::MediaLike{JSON::toBool(JSON::member(o, "liked"))}; }},
    {"open_application",
     [](const Json& o) -> DeckCommand {
         std::string application = requiredText(o, "application");
         if (trimmingWhitespaceAndNewlines(application).empty()) malformed();
         return DeckCommand::OpenApplication{std::move(application)};
     }},
    {"open_url",
     [](const Json& o) -> DeckCommand {
         std::string url = requiredText(o, "url");
         if (!DeckCommand::isWebURL(url)) malformed();
         return DeckCommand::OpenURL{std::move(url)};
     }},
    {"open_folder", [](const Json& o) -> DeckCommand { return DeckCommand::OpenFolder{requiredSafePath(o)}; }},
    {"open_file", [](const Json& o) -> DeckCommand { return DeckCommand::OpenFile{requiredSafePath(o)}; }},
    {"run_shortcut",
     [](const Json& o) -> DeckCommand {
         std::string name = requiredText(o, "name");
         if (!DeckCommand::isSafeShortcutName(name)) malformed();
         return DeckCommand::RunShortcut{std::move(name)};
     }},
    {"lock_mac", [](const Json&) -> DeckCommand { return DeckCommand::LockMac{}; }},
    {"copy_text", [](const Json& o) -> DeckCommand { return DeckCommand::CopyText{requiredText(o, "text")}; }},
    {"set_clipboard", [](const Json& o) -> DeckCommand { return DeckCommand::SetClipboard{requiredText(o, "text")}; }},
    {"start_timer",
     [](const Json& o) -> DeckCommand {
         // A number past the 64-bit range reads as absent and fails here too.
         auto seconds = JSON::toInt(JSON::member(o, "seconds"));
         if (!seconds || *seconds < DeckCommand::minTimerSeconds || *seconds > DeckCommand::maxTimerSeconds)
             malformed();
         return DeckCommand::StartTimer{*seconds, optionalText(o, "label")};
     }},
    {"pause_timer", [](const Json& o) -> DeckCommand { return DeckCommand::PauseTimer{requiredNonEmpty(o, "id")}; }},
    {"resume_timer",
     [](const Json& o) -> DeckCommand { return DeckCommand::ResumeTimer{requiredNonEmpty(o, "id")}; }},
    {"cancel_timer",
     [](const Json& o) -> DeckCommand { return DeckCommand::CancelTimer{requiredNonEmpty(o, "id")}; }},
    {"take_screenshot",
     [](const Json& o) -> DeckCommand {
         std::string mode = optionalText(o, "mode").value_or("full");
         if (mode != "full" && mode != "window") malformed();
         return DeckCommand::TakeScreenshot{std::move(mode)};
     }},
    {"refresh_apps", [](const Json&) -> DeckCommand { return DeckCommand::RefreshApps{}; }},
    {"clear_clipboard_history", [](const Json&) -> DeckCommand { return DeckCommand::ClearClipboardHistory{}; }},
};

// Wire names by case, in the variant's declaration order.
constexpr std::string_view namesByCase[DeckCommand::commandCount] = {
    "set_volume",   "set_mute",      "set_output_device", "set_brightness",   "media_seek",    "media_like",
    "open_application", "open_url",  "open_folder",       "open_file",        "run_shortcut",  "copy_text",
    "set_clipboard", "start_timer",  "pause_timer",       "resume_timer",     "cancel_timer",  "take_screenshot",
    "volume_up",    "volume_down",   "toggle_mute",       "media_play_pause", "media_next",    "media_previous",
    "lock_mac",     "refresh_apps",  "clear_clipboard_history",
};
static_assert(std::variant_size_v<DeckCommand::Value> == DeckCommand::commandCount);

}  // namespace

const std::array<std::string_view, DeckCommand::commandCount>& DeckCommand::allowlist() {
    static const std::array<std::string_view, commandCount> names = [] {
        std::array<std::string_view, commandCount> out;
        for (std::size_t i = 0; i < commandCount; ++i) out[i] = entries[i].wireName;
        return out;
    }();
    return names;
}

DeckCommand DeckCommand::parse(const Json& object) {
    const Json* type = JSON::member(object, "type");
    if (!type || !type->is_string() || type->get_ref<const std::string&>().empty()) malformed();
    const std::string& name = type->get_ref<const std::string&>();
    for (const Entry& entry : entries)
        if (entry.wireName == name) return entry.parse(object);
    throw DeckError::invalidActionType(name);
}

DeckCommand DeckCommand::parseData(std::string_view body) {
    auto object = JSON::parse(body);
    if (!object || !object->is_object()) malformed();
    return parse(*object);
}

bool DeckCommand::isSafePath(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    if (path.find('\0') != std::string_view::npos) return false;
    if (path.find("://") != std::string_view::npos) return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        if (path.substr(start, slash - start) == "..") return false;
        start = slash + 1;
    }
    return true;
}

bool DeckCommand::isSafeShortcutName(std::string_view name) {
    std::string_view trimmed = trimmingWhitespaceAndNewlines(name);
    if (trimmed.empty()) return false;
    if (trimmed.find_first_of("\n;`") != std::string_view::npos) return false;
    return text::characterCount(trimmed) < shortcutNameLimit;
}

bool DeckCommand::isWebURL(std::string_view url) {
    UriUriA uri;
    const char* errorAt = nullptr;
    if (uriParseSingleUriExA(&uri, url.data(), url.data() + url.size(), &errorAt) != URI_SUCCESS) return false;
    std::string scheme;
    if (uri.scheme.first) scheme.assign(uri.scheme.first, uri.scheme.afterLast);
    uriFreeUriMembersA(&uri);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    });
    return scheme == "http" || scheme == "https";
}

std::string_view DeckCommand::typeName() const { return namesByCase[value_.index()]; }

}  // namespace veltrane::deck
