#include "ControlDeckCore/data/ClipboardHistoryItem.h"

#include "ControlDeckCore/shared/Decoding.h"

namespace veltrane::deck {

ClipboardHistoryItem ClipboardHistoryItem::decode(const Json& json) {
    KeyedDecoder keys(json);
    return {keys.decode<std::string>("id"), keys.decode<std::string>("text"), keys.decode<Date>("createdAt")};
}

Json ClipboardHistoryItem::encode() const {
    return Json{{"id", id}, {"text", text}, {"createdAt", iso8601::format(createdAt)}};
}

}  // namespace veltrane::deck
