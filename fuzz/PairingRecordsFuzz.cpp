// The readers of the pairing records: the stream-grants file and a paired
// device of the identity file. Whatever they accept must write back to a text
// they read as the same value.
#include <cstdint>
#include <cstdlib>

#include "ControlDeckCore/server/pairing/PairedDevice.h"
#include "ControlDeckCore/server/pairing/VeltraneLink.h"

using namespace veltrane::deck;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    if (auto grants = VeltraneLink::Grants::parse(text)) {
        auto again = VeltraneLink::Grants::parse(grants->encode());
        if (!again || !(*again == *grants)) std::abort();
    }

    auto json = JSON::parse(text);
    if (!json) return 0;
    const Date readAt = dateFromSecondsSince1970(1'700'000'000);
    if (auto device = PairedDevice::fromJson(*json, readAt)) {
        // Dates keep whole seconds only, so compare from the first write on.
        auto once = PairedDevice::fromJson(device->toJson(), readAt);
        if (!once) std::abort();
        auto twice = PairedDevice::fromJson(once->toJson(), readAt);
        if (!twice || !(*twice == *once)) std::abort();
    }
    return 0;
}
