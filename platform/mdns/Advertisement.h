#pragma once
// Announcing a service on the local network (DNS-SD over multicast DNS).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace veltrane::mdns {

struct ServiceRecord {
    std::string name;  // the instance name people see
    std::string type;  // such as "_veltrane._tcp"
    std::uint16_t port = 0;
    std::optional<std::map<std::string, std::string>> txt;  // absent: no TXT record
};

// A registered service. Dropping it withdraws the service.
class Advertisement {
public:
    virtual ~Advertisement() = default;
    // Replaces the service's TXT record, keeping its name, type and port.
    virtual void updateTXT(std::map<std::string, std::string> txt) = 0;
};

using LogSink = std::function<void(const std::string&)>;

// How a server registers its service; tests substitute their own.
using Advertiser = std::function<std::unique_ptr<Advertisement>(const ServiceRecord&, const LogSink&)>;

}  // namespace veltrane::mdns
