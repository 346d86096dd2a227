#include "ControlDeckCore/runtime/RequestBody.h"

#include <algorithm>

#include "ControlDeckCore/runtime/DeckCommand.h"
#include "ControlDeckCore/shared/DeckError.h"

namespace veltrane::deck {

namespace {

// RFC 3986 path characters: unreserved, sub-delims, ":", "@" and "/".
bool allowedInPath(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(c)) != std::string_view::npos;
}

// A custom action may run any remote command.
bool isActionCommand(std::string_view name) {
    const auto& names = DeckCommand::allowlist();
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

Json parseBody(std::string_view body) {
    std::optional<Json> json = JSON::parse(body);
    if (!json) throw BodyNotJSON();
    return std::move(*json);
}

Json parseObjectBody(std::string_view body) {
    Json json = parseBody(body);
    if (!json.is_object()) throw DeckError::malformedPayload();
    return json;
}

std::vector<CustomActionDef> parseActionsBody(std::string_view body) {
    const Json json = parseBody(body);
    const Json* list = &json;
    if (json.is_object()) {
        list = JSON::member(json, "actions");
        if (list == nullptr || !list->is_array()) throw DeckError::malformedPayload();
    } else if (!json.is_array()) {
        throw DeckError::malformedPayload();
    }
    std::vector<CustomActionDef> actions;
    for (const Json& element : *list) {
        if (!element.is_object() || element.empty()) continue;
        const Json* id = JSON::member(element, "id");
        const Json* title = JSON::member(element, "title");
        if (id == nullptr || !id->is_string() || title == nullptr || !title->is_string()) continue;
        const Json* command = JSON::member(element, "commandType");
        if (command == nullptr || !command->is_string()) command = JSON::member(element, "type");
        if (command == nullptr || !command->is_string()) continue;
        if (!isActionCommand(command->get<std::string>())) continue;
        const Json* icon = JSON::member(element, "icon");
        const Json* payload = JSON::member(element, "payload");
        CustomActionDef action{id->get<std::string>(), title->get<std::string>(),
                               icon != nullptr && icon->is_string() ? icon->get<std::string>() : "star",
                               command->get<std::string>(), {}};
        if (payload != nullptr && payload->is_object()) {
            for (const auto& [key, value] : payload->items()) action.payload[key] = JSONValue::from(value);
        }
        actions.push_back(std::move(action));
    }
    return actions;
}

UploadStart UploadStart::parse(std::string_view body) {
    const Json object = parseObjectBody(body);
    const Json* name = JSON::member(object, "name");
    const Json* mime = JSON::member(object, "mime");
    return {name && name->is_string() ? name->get<std::string>() : std::string(),
            JSON::toInt(JSON::member(object, "size")).value_or(-1),
            mime && mime->is_string() ? std::optional(mime->get<std::string>()) : std::nullopt};
}

std::int64_t chunkOffset(const std::map<std::string, std::string>& query) {
    auto offset = query.find("offset");
    return offset == query.end() ? -1 : JSON::toInt(Json(offset->second)).value_or(-1);
}

std::string percentEncodedPath(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (allowedInPath(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

}  // namespace veltrane::deck
