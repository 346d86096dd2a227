#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/mdns/Advertisement.h"

namespace veltrane::mdns {

// An instance name travels as one DNS label.
inline constexpr std::size_t kMaxInstanceNameBytes = 63;

// `name` cut to one DNS label without splitting a UTF-8 sequence, as DNS-SD
// responders shorten a name they are free to rename.
std::string instanceName(std::string_view name);

// Registers `service` with the system's avahi-daemon (over D-Bus) and keeps it
// registered, choosing another name on a collision. An empty name stands for
// the computer's name, and a longer one is cut to one label (Avahi refuses
// both, where DNS-SD takes them). Returns null after one
// log line when no daemon is reachable; the caller then serves without
// advertising. Problems after registration are logged, never thrown.
std::unique_ptr<Advertisement> advertiseWithAvahi(const ServiceRecord& service, const LogSink& log);

}  // namespace veltrane::mdns
