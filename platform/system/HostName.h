#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veltrane::sys {

// The name people gave this computer: the "pretty" host name of
// /etc/machine-info when set, else the kernel's host name. Absent when
// neither gives a non-empty name.
std::optional<std::string> localizedHostName();

// PRETTY_HOSTNAME read from the text of a machine-info file (shell-style
// assignment, optionally quoted).
std::optional<std::string> prettyHostNameFromMachineInfo(std::string_view text);

}  // namespace veltrane::sys
