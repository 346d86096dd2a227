#pragma once
// The user's standard directories (XDG base directories).

#include <filesystem>
#include <vector>

namespace veltrane::sys {

// $XDG_DATA_HOME when it is an absolute path, else the home directory +
// ".local/share". The home directory is $HOME when absolute, else the
// password database's entry; the current directory when neither exists.
std::filesystem::path userDataHome();

// $XDG_CONFIG_HOME when it is an absolute path, else the home directory +
// ".config" (the current directory when there is no home directory).
std::filesystem::path userConfigHome();

// The absolute entries of $XDG_DATA_DIRS in order; "/usr/local/share" and
// "/usr/share" when it is unset or empty.
std::vector<std::filesystem::path> systemDataDirectories();

}  // namespace veltrane::sys
