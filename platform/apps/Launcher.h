#pragma once
// Starting applications and opening links and files with the desktop's
// default handlers (GIO underneath).

#include <filesystem>
#include <stdexcept>
#include <string>

namespace veltrane::apps {

// A launch the desktop refused; what() is GIO's own message.
class LaunchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Launcher {
    // Starts the application that a .desktop file describes. Throws
    // LaunchError when the entry cannot be loaded or its program not started.
    static void launchDesktopFile(const std::filesystem::path& file);

    // Opens a URI with the handler the desktop has chosen for its scheme, or
    // for a file:// URI its content type. Throws LaunchError when there is no
    // handler or it cannot be started.
    static void openURI(const std::string& uri);

    // An absolute URI (scheme, then the rest) that parses, with every
    // character outside the URI alphabet percent-encoded.
    static bool isValidURI(const std::string& text);

    // The file:// URI of an absolute path; empty when it cannot be made.
    static std::string fileURI(const std::filesystem::path& path);
};

}  // namespace veltrane::apps
