#pragma once
// Reading request bodies and path pieces the way the routes need them.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ControlDeckCore/server/JSON.h"

namespace veltrane::deck {

// A body that is not JSON at all: not a DeckError, so the route table logs
// it and answers its general failure.
class BodyNotJSON : public std::runtime_error {
public:
    BodyNotJSON() : std::runtime_error("The request body is not valid JSON.") {}
};

// The body parsed as JSON; throws BodyNotJSON when it is not JSON.
Json parseBody(std::string_view body);
// The body as a JSON object; DeckError::malformedPayload for JSON of another
// kind, BodyNotJSON for text that is not JSON.
Json parseObjectBody(std::string_view body);

// Percent-encoding with the characters a URL path may hold left as they are.
std::string percentEncodedPath(std::string_view text);

}  // namespace veltrane::deck
