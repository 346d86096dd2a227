// Any parsed JSON, written by our writer, must parse back to the same value
// (or be "{}" when it holds an unwritable number); the data files' pretty form
// must read back to the same value too, and writing is stable: the text of
// what was read back is the same text. The streaming writer, walked through
// the value piece by piece or given it whole, must write the same text.
#include <cstdint>
#include <cstdlib>

#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/shared/JSONValue.h"
#include "ControlDeckCore/shared/JSONWriter.h"

using namespace veltrane::deck;

namespace {

void walk(JSONWriter& writer, const Json& value) {
    switch (value.type()) {
        case Json::value_t::object:
            writer.beginObject();
            for (const auto& [key, element] : value.items()) {
                writer.key(key);
                walk(writer, element);
            }
            writer.endObject();
            break;
        case Json::value_t::array:
            writer.beginArray();
            for (const Json& element : value) walk(writer, element);
            writer.endArray();
            break;
        case Json::value_t::string: writer.value(value.get_ref<const std::string&>()); break;
        case Json::value_t::boolean: writer.value(value.get<bool>()); break;
        case Json::value_t::number_integer: writer.value(value.get<std::int64_t>()); break;
        case Json::value_t::number_unsigned: writer.value(value.get<std::uint64_t>()); break;
        case Json::value_t::number_float: writer.value(value.get<double>()); break;
        default: writer.null(); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto parsed = JSON::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed) return 0;
    std::string text = JSON::text(*parsed);
    auto again = JSON::parse(text);
    if (!again) std::abort();
    if (text != "{}" && JSONValue::from(*again) != JSONValue::from(*parsed)) std::abort();
    if (JSON::text(*again) != text) std::abort();
    auto pretty = JSON::prettyText(*parsed);
    if (pretty.has_value() != (text != "{}" || parsed->empty())) std::abort();
    if (pretty) {
        auto fromPretty = JSON::parse(*pretty);
        if (!fromPretty || JSON::text(*fromPretty) != text) std::abort();
    }

    JSONWriter walked;
    walk(walked, *parsed);
    if (std::move(walked).text() != text) std::abort();
    JSONWriter embedded;
    embedded.beginArray();
    embedded.value(*parsed);
    embedded.value(*parsed);
    embedded.endArray();
    if (std::move(embedded).text() != JSON::text(Json::array({*parsed, *parsed}))) std::abort();
    return 0;
}
