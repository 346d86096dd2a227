// Any bytes read as one of the data files: decoding never crashes, and a
// record that decodes comes back equal from its own encoding.

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "ControlDeckCore/data/ClipboardHistoryItem.h"
#include "ControlDeckCore/data/CustomActionDef.h"
#include "ControlDeckCore/data/DeckSettings.h"
#include "ControlDeckCore/data/FileStore.h"

using namespace veltrane::deck;

namespace {

template <class T>
void roundTrip(const Json& json, Json (*encode)(const T&)) {
    T value;
    try {
        value = coding::decode<T>(json);
    } catch (const DecodingError&) {
        return;
    }
    auto text = FileStore::encode(encode(value));
    if (!text) std::abort();
    auto reread = FileStore::decode(*text);
    if (!reread || !(coding::decode<T>(*reread) == value)) std::abort();
}

template <class Record>
Json encodeList(const std::vector<Record>& records) {
    return coding::encodeArray(records);
}

Json encodeSettings(const DeckSettings& settings) { return settings.encode(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto json = FileStore::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!json) return 0;
    roundTrip<DeckSettings>(*json, encodeSettings);
    roundTrip<std::vector<CustomActionDef>>(*json, encodeList<CustomActionDef>);
    roundTrip<std::vector<ClipboardHistoryItem>>(*json, encodeList<ClipboardHistoryItem>);
    return 0;
}
