#pragma once
// The user's standard folders, found the freedesktop.org (XDG) way.

#include <optional>
#include <string_view>
#include <vector>

#include "platform/fs/FileSystem.h"

namespace veltrane::fs {

// $HOME, else the password database's home; absent when neither names one.
std::optional<Path> homeDirectory();

// Where applications keep their data: $XDG_DATA_HOME when it is an absolute
// path, else ~/.local/share.
std::optional<Path> applicationSupportDirectory();

// Where applications keep their settings: $XDG_CONFIG_HOME when it is an
// absolute path, else ~/.config.
std::optional<Path> configurationDirectory();

// The shared data folders after the user's own: the absolute entries of
// $XDG_DATA_DIRS in order, else /usr/local/share and /usr/share.
std::vector<Path> systemDataDirectories();

// The user's download folder: XDG_DOWNLOAD_DIR from user-dirs.dirs in
// $XDG_CONFIG_HOME (else ~/.config), else ~/Downloads. Absent only without a
// home folder. The folder need not exist.
std::optional<Path> downloadsDirectory();

// XDG_DOWNLOAD_DIR read from the text of a user-dirs.dirs file: a
// double-quoted "$HOME/..." or absolute path, with backslash escapes.
std::optional<Path> downloadDirectoryFromUserDirs(std::string_view text, const Path& home);

}  // namespace veltrane::fs
