#pragma once
// Reading request bodies and path pieces the way the routes need them.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ControlDeckCore/data/CustomActionDef.h"
#include "ControlDeckCore/shared/JSON.h"

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

// The custom actions a client saves: a list, or an object whose "actions" is
// one (else malformedPayload; BodyNotJSON for text that is not JSON).
// Elements without a text id and title, or without a command of the allowlist
// as "commandType" (or "type"), are skipped; the icon defaults to "star" and
// only an object payload is kept.
std::vector<CustomActionDef> parseActionsBody(std::string_view body);

// What an upload's start body declares: the name and MIME type when they are
// texts (else empty and absent), the size by the lenient integer reading (-1
// when absent or unreadable, which the transfer service refuses). Same errors
// as parseObjectBody.
struct UploadStart {
    std::string name;
    std::int64_t size = -1;
    std::optional<std::string> mime;

    static UploadStart parse(std::string_view body);
};

// A chunk's "offset" query value by the lenient integer reading; -1 when
// absent or unreadable, which never matches an upload's received count.
std::int64_t chunkOffset(const std::map<std::string, std::string>& query);

// Percent-encoding with the characters a URL path may hold left as they are.
std::string percentEncodedPath(std::string_view text);

}  // namespace veltrane::deck
