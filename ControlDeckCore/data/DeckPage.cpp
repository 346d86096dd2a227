#include "ControlDeckCore/data/DeckPage.h"

#include "ControlDeckCore/shared/Decoding.h"

namespace veltrane::deck {

DeckPage DeckPage::decode(const Json& json) {
    KeyedDecoder keys(json);
    return {
        keys.decode<std::string>("id"),
        keys.decode<std::string>("name"),
        keys.decode<std::vector<WidgetInstance>>("widgets"),
    };
}

Json DeckPage::encode() const {
    return Json{{"id", id}, {"name", name}, {"widgets", coding::encodeArray(widgets)}};
}

}  // namespace veltrane::deck
