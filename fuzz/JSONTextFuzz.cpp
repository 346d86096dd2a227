// Any parsed JSON, written by our writer, must parse back to the same value
// (or be "{}" when it holds an unwritable number); the data files' pretty form
// must read back to the same value too, and writing is stable: the text of
// what was read back is the same text.
#include <cstdint>
#include <cstdlib>

#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/shared/JSONValue.h"

using namespace veltrane::deck;

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
    return 0;
}
