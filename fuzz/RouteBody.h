#pragma once
// Shared by the fuzz targets of route bodies: a reader is given any bytes and
// either reads them or refuses them the way the route answers.

#include <cstdlib>
#include <optional>
#include <string_view>

#include "ControlDeckCore/runtime/RequestBody.h"
#include "ControlDeckCore/shared/DeckError.h"

namespace veltrane::fuzzing {

inline void require(bool condition) {
    if (!condition) std::abort();
}

// What `read` makes of `body`, or nullopt when it refused it: BodyNotJSON only
// for text that is not JSON, malformedPayload only for JSON that `wellShaped`
// rejects. Any other exception escapes and fails the run.
template <class Read, class Shape>
auto readRouteBody(std::string_view body, Read read, Shape wellShaped) -> std::optional<decltype(read(body))> {
    using namespace veltrane::deck;
    try {
        return read(body);
    } catch (const BodyNotJSON&) {
        require(!JSON::parse(body));
    } catch (const DeckError& error) {
        require(error.kind() == DeckError::Case::malformedPayload);
        auto json = JSON::parse(body);
        require(json && !wellShaped(*json));
    }
    return std::nullopt;
}

}  // namespace veltrane::fuzzing
