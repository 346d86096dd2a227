// Any parsed JSON, written by our writer, must parse back to the same value
// (or be "{}" when it holds an unwritable number).
#include <cstdint>
#include <cstdlib>

#include "ControlDeckCore/server/JSON.h"
#include "ControlDeckCore/server/JSONValue.h"

using namespace veltrane::deck;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto parsed = JSON::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed) return 0;
    std::string text = JSON::text(*parsed);
    auto again = JSON::parse(text);
    if (!again) std::abort();
    if (text != "{}" && JSONValue::from(*again) != JSONValue::from(*parsed)) std::abort();
    return 0;
}
