#include "ControlDeckCore/transfer/StagingMeta.h"

#include "ControlDeckCore/shared/Decoding.h"

namespace veltrane::deck {

StagingMeta StagingMeta::decode(const Json& json) {
    KeyedDecoder keys(json);
    return {keys.decode<std::string>("id"),         keys.decode<std::string>("name"),
            keys.decode<std::int64_t>("size"),      keys.decode<std::string>("mime"),
            keys.decode<std::int64_t>("received"), keys.decode<Date>("createdAt")};
}

Json StagingMeta::encode() const {
    return Json{{"id", id},     {"name", name},         {"size", size},
                {"mime", mime}, {"received", received}, {"createdAt", iso8601::format(createdAt)}};
}

}  // namespace veltrane::deck
