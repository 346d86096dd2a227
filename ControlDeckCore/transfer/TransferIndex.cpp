#include "ControlDeckCore/transfer/TransferIndex.h"

#include "ControlDeckCore/shared/Decoding.h"

namespace veltrane::deck {

TransferIndex TransferIndex::decode(const Json& json) {
    KeyedDecoder keys(json);
    return {keys.decode<std::vector<FileRecord>>("inbox"), keys.decode<std::vector<FileRecord>>("outbox")};
}

Json TransferIndex::encode() const {
    return Json{{"inbox", coding::encodeArray(inbox)}, {"outbox", coding::encodeArray(outbox)}};
}

}  // namespace veltrane::deck
