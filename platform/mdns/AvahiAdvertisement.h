#pragma once

#include "platform/mdns/Advertisement.h"

namespace veltrane::mdns {

// Registers `service` with the system's avahi-daemon (over D-Bus) and keeps it
// registered, choosing another name on a collision. Returns null after one
// log line when no daemon is reachable; the caller then serves without
// advertising. Problems after registration are logged, never thrown.
std::unique_ptr<Advertisement> advertiseWithAvahi(const ServiceRecord& service, const LogSink& log);

}  // namespace veltrane::mdns
