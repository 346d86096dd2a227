#pragma once
// A desktop of one application, the recorder, which appends each argument it
// is started with to a marker file; mimeapps.list makes it the default for
// https links and for folders, and nothing handles ftp. GIO reads the XDG
// folders once per process, so a suite sets this up once, before any GIO
// call, for all its tests.

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/Files.h"

namespace veltrane::testing {

struct RecorderDesktop {
    std::filesystem::path marker;
    std::filesystem::path entry;  // recorder.desktop

    // Lays the desktop out under `root` and points this process's XDG
    // variables at it. No session bus and no display, so GIO announces
    // launches nowhere.
    static RecorderDesktop install(const std::filesystem::path& root) {
        RecorderDesktop desktop{root / "opened", root / "data" / "applications" / "recorder.desktop"};
        writeFile(root / "record.sh", "#!/bin/sh\necho \"$1\" >> '" + desktop.marker.string() + "'\n", true);
        writeFile(desktop.entry, "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" +
                                     (root / "record.sh").string() +
                                     " %u\nMimeType=x-scheme-handler/https;inode/directory;\n");
        writeFile(root / "config" / "mimeapps.list",
                  "[Default Applications]\nx-scheme-handler/https=recorder.desktop\ninode/directory=recorder.desktop\n");
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        setenv("XDG_DATA_DIRS", (root / "none").c_str(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (root / "no-bus").string()).c_str(), 1);
        unsetenv("DISPLAY");
        return desktop;
    }
};

}  // namespace veltrane::testing
