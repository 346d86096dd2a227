#pragma once
// Files that only this user may read, in folders that only this user may
// enter. For secrets (or hashes of short secrets) that other local users must
// never see, not even for the moment between creating and restricting a file.

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace veltrane::sys {

// Creates `directory` (and missing parents, with default permissions) and
// sets it to 0700, also when it already existed with wider permissions. A
// symbolic link in place of `directory` is refused (ENOTDIR).
std::error_code makePrivateDirectory(const std::filesystem::path& directory);

// Replaces `directory`/`name` with `bytes`: makes the directory private as
// above, writes a temporary file in it that is 0600 from the moment it exists,
// flushes it and renames it over the target, so readers see the old or the
// new content and never a mix. On failure the target is left as it was and
// the temporary file is removed. Temporary files of `name` left by writers
// that were killed (their process is gone) are removed first.
std::error_code writePrivateFile(const std::filesystem::path& directory, const std::string& name,
                                 std::string_view bytes);

}  // namespace veltrane::sys
