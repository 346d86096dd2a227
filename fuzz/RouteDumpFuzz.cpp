// Route messages from arbitrary bytes: never a read outside the input, and
// every route kept is a usable default route of a known family.
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/net/RouteDump.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The first byte picks the sequence number the dump waits for.
    veltrane::net::RouteDump dump(size > 0 ? data[0] % 4 : 0);
    dump.feed(bytes);
    if (dump.failed() && !dump.finished()) std::abort();
    for (const auto& route : dump.routes())
        if ((route.family != AF_INET && route.family != AF_INET6) || route.interfaceIndex == 0) std::abort();
    return 0;
}
