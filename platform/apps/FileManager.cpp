#include "platform/apps/FileManager.h"

#include <sdbus-c++/sdbus-c++.h>

#include <string>
#include <vector>

#include "platform/apps/Launcher.h"
#include "platform/dbus/BusCall.h"

namespace veltrane::apps {

namespace {

// org.freedesktop.FileManager1.<method>(as uris, s startupId)
bool askFileManager(const char* method, const std::filesystem::path& path) {
    const std::string uri = Launcher::fileURI(path);
    if (uri.empty()) return false;
    dbus::BusCall call{"org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                       "org.freedesktop.FileManager1", method};
    return call.call(dbus::Bus::session,
                     [&](sdbus::MethodCall& m) { m << std::vector<std::string>{uri} << std::string(); });
}

bool openWithDefaultHandler(const std::filesystem::path& folder) {
    const std::string uri = Launcher::fileURI(folder);
    if (uri.empty()) return false;
    try {
        Launcher::openURI(uri);
        return true;
    } catch (const LaunchError&) {
        return false;
    }
}

}  // namespace

bool FileManager::showFolder(const std::filesystem::path& folder) {
    return askFileManager("ShowFolders", folder) || openWithDefaultHandler(folder);
}

bool FileManager::showFile(const std::filesystem::path& file) {
    return askFileManager("ShowItems", file) || openWithDefaultHandler(file.parent_path());
}

}  // namespace veltrane::apps
