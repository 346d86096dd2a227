#pragma once

#include <string>

#include "platform/net/NetworkPath.h"

namespace veltrane::net {

// What kind of link an interface is, from its entry under
// <sysRoot>/class/net: Wi-Fi when it has wireless extensions or a wireless
// phy, wired Ethernet when it is an Ethernet-type link backed by a device
// (bridges, veth pairs and tunnels have none), loopback by its link type.
InterfaceType classifyInterface(const std::string& sysRoot, const std::string& name);

}  // namespace veltrane::net
