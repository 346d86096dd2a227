#pragma once
// The user's standard directories (XDG base directories).

#include <filesystem>

namespace veltrane::sys {

// $XDG_DATA_HOME when it is an absolute path, else the home directory +
// ".local/share". The home directory is $HOME when absolute, else the
// password database's entry; the current directory when neither exists.
std::filesystem::path userDataHome();

}  // namespace veltrane::sys
