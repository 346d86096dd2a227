#pragma once
// The computer's name as the user sees it.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane::sys {

// The user-chosen ("pretty") host name, else the kernel's host name; nothing
// when both are empty or unreadable.
std::optional<std::string> localizedHostName();

// The pretty host name stored in a machine-info file (systemd's
// /etc/machine-info, which hostnamectl reads and writes); nothing when the
// file is missing or holds no non-empty PRETTY_HOSTNAME.
std::optional<std::string> prettyHostName(const std::filesystem::path& machineInfo = "/etc/machine-info");

// PRETTY_HOSTNAME of machine-info text: an environment-style file of
// KEY=value lines, values optionally in shell quotes; the last assignment wins.
std::optional<std::string> prettyHostNameIn(std::string_view machineInfoText);

}  // namespace veltrane::sys
