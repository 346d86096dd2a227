// Any bytes read as one of the data files (settings, actions, clipboard
// history, the transfer index and an upload's staging entry): decoding fails
// only with DecodingError, and a record that decodes comes back equal from its
// own encoding. The bytes taken as a date text read back the same way.

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "ControlDeckCore/data/ClipboardHistoryItem.h"
#include "ControlDeckCore/data/CustomActionDef.h"
#include "ControlDeckCore/data/DeckSettings.h"
#include "ControlDeckCore/data/FileStore.h"
#include "ControlDeckCore/transfer/StagingMeta.h"
#include "ControlDeckCore/transfer/TransferIndex.h"

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

template <class Record>
Json encodeRecord(const Record& record) {
    return record.encode();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Dates keep whole seconds: compare from the first write on.
    if (auto date = iso8601::parse(bytes)) {
        auto once = iso8601::parse(iso8601::format(*date));
        if (!once || iso8601::parse(iso8601::format(*once)) != once) std::abort();
    }
    auto json = FileStore::decode(bytes);
    if (!json) return 0;
    roundTrip<DeckSettings>(*json, encodeRecord<DeckSettings>);
    roundTrip<TransferIndex>(*json, encodeRecord<TransferIndex>);
    roundTrip<StagingMeta>(*json, encodeRecord<StagingMeta>);
    roundTrip<std::vector<CustomActionDef>>(*json, encodeList<CustomActionDef>);
    roundTrip<std::vector<ClipboardHistoryItem>>(*json, encodeList<ClipboardHistoryItem>);
    return 0;
}
