// The custom actions a client saves: refused with the route's errors, or a
// list of actions that each run an allowed command, no longer than what was
// sent, which comes back equal from actions.json at the next start.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "ControlDeckCore/data/FileStore.h"
#include "ControlDeckCore/runtime/DeckCommand.h"
#include "ControlDeckCore/runtime/RequestBody.h"
#include "ControlDeckCore/server/DeckError.h"

using namespace veltrane::deck;

namespace {
void require(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    std::vector<CustomActionDef> actions;
    try {
        actions = parseActionsBody(body);
    } catch (const BodyNotJSON&) {
        require(!JSON::parse(body));
        return 0;
    } catch (const DeckError& error) {
        require(error.kind() == DeckError::Case::malformedPayload);
        auto json = JSON::parse(body);
        require(json && !json->is_array());
        const Json* list = JSON::member(*json, "actions");
        require(!list || !list->is_array());
        return 0;
    }
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
