// The custom actions a client saves: refused with the route's errors, or a
// list of actions that each run an allowed command, no longer than what was
// sent, which comes back equal from actions.json at the next start.
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "ControlDeckCore/data/FileStore.h"
#include "ControlDeckCore/runtime/DeckCommand.h"
#include "fuzz/RouteBody.h"

using namespace veltrane::deck;

using veltrane::fuzzing::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    auto read = veltrane::fuzzing::readRouteBody(body, parseActionsBody, [](const Json& json) {
        const Json* list = JSON::member(json, "actions");
        return json.is_array() || (list && list->is_array());
    });
    if (!read) return 0;
    const std::vector<CustomActionDef>& actions = *read;
    const Json json = *JSON::parse(body);
    const Json& sent = json.is_array() ? json : json["actions"];
    require(actions.size() <= sent.size());
    const auto& names = DeckCommand::allowlist();
    for (const auto& action : actions)
        require(std::find(names.begin(), names.end(), action.commandType) != names.end());

    // Saved as the runtime saves it, read as the next start reads it.
    Json list = Json::array();
    for (const auto& action : actions) list.push_back(action.encode());
    auto text = FileStore::encode(list);
    require(text.has_value());
    auto reread = FileStore::decode(*text);
    require(reread && coding::decode<std::vector<CustomActionDef>>(*reread) == actions);
    return 0;
}
