// The mirroring route's entry point. Until mirroring is offered to tablets
// the route answers as an unknown one.

#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/server/DeckError.h"

namespace veltrane::deck {

HTTPResponse DeckRuntime::mirroringRoute(const HTTPRequest&, const AuthContext&) { throw DeckError::notFound(); }

}  // namespace veltrane::deck
