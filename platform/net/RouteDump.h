#pragma once
// Default routes out of the kernel's routing messages (rtnetlink).

#include <cstdint>
#include <string_view>
#include <vector>

namespace veltrane::net {

struct DefaultRoute {
    std::uint8_t family = 0;  // AF_INET or AF_INET6
    std::uint32_t interfaceIndex = 0;
    std::uint32_t metric = 0;
    bool operator==(const DefaultRoute&) const = default;
};

// A route dump arrives in several reads; feed each read's bytes in turn.
class RouteDump {
public:
    explicit RouteDump(std::uint32_t sequence) : sequence_(sequence) {}

    // Takes the messages of one read. Messages of another sequence are
    // ignored; a malformed message ends the read's parsing (the kernel never
    // sends one, so the rest cannot be trusted either).
    void feed(std::string_view bytes);

    // True once the end of the dump (or an error in its place) was read.
    bool finished() const { return finished_; }
    bool failed() const { return failed_; }
    // Usable unicast default routes of the main table that leave through an
    // interface, in the order read.
    const std::vector<DefaultRoute>& routes() const { return routes_; }

private:
    void route(std::string_view message);

    std::uint32_t sequence_;
    bool finished_ = false;
    bool failed_ = false;
    std::vector<DefaultRoute> routes_;
};

}  // namespace veltrane::net
