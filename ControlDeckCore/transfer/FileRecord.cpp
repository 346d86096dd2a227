#include "ControlDeckCore/transfer/FileRecord.h"

#include "ControlDeckCore/shared/Decoding.h"

namespace veltrane::deck {

FileRecord FileRecord::decode(const Json& json) {
    KeyedDecoder keys(json);
    return {keys.decode<std::string>("id"), keys.decode<std::string>("name"), keys.decode<std::int64_t>("size"),
            keys.decode<std::string>("mime"), keys.decode<Date>("createdAt")};
}

Json FileRecord::encode() const {
    return Json{{"id", id}, {"name", name}, {"size", size}, {"mime", mime}, {"createdAt", iso8601::format(createdAt)}};
}

}  // namespace veltrane::deck
