#pragma once
// Showing folders and files to the user in the desktop's file manager.

#include <filesystem>

namespace veltrane::apps {

struct FileManager {
    // Opens `folder`: through the freedesktop FileManager1 service on the
    // session bus when one answers, else with the desktop's default handler
    // for folders (what xdg-open starts). False when neither could; there may
    // be no desktop at all.
    static bool showFolder(const std::filesystem::path& folder);

    // Shows `file` selected in its folder through FileManager1; without that
    // service, opens the folder that holds it.
    static bool showFile(const std::filesystem::path& file);
};

}  // namespace veltrane::apps
