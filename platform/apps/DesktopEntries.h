#pragma once
// The desktop's installed applications: freedesktop .desktop entries in the
// applications folders of the XDG data directories.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace veltrane::apps {

struct DesktopEntry {
    std::string id;               // desktop-file id: relative path with "/" as "-"
    std::filesystem::path path;   // the .desktop file
    std::string name;             // Name[locale], else Name, else the file stem
    std::string icon;             // the Icon key as written; empty when none
};

struct DesktopEntries {
    // Entries in an applications folder and in the folders one level below
    // it; deeper folders are not entered.
    static constexpr int kMaxDepth = 1;

    // The XDG data directories in precedence order: $XDG_DATA_HOME (else
    // ~/.local/share; left out without a home folder), then each of
    // $XDG_DATA_DIRS (else /usr/local/share and /usr/share). Relative
    // entries are ignored, as the base-directory rules say.
    static std::vector<std::filesystem::path> dataDirectories();

    // The "applications" folder of each data directory, same order.
    static std::vector<std::filesystem::path> applicationFolders();

    // Scans folders in order. An id is taken from the first folder that has
    // it, so user entries override system ones; an entry marked Hidden or
    // NoDisplay, or that is not of type Application, is not listed and masks
    // the same id further down. Unreadable folders and files are skipped.
    static std::vector<DesktopEntry> scan(const std::vector<std::filesystem::path>& folders);

    // One file; none when it is not a readable desktop entry.
    struct Parsed {
        DesktopEntry entry;
        bool listed = false;  // an Application that is neither Hidden nor NoDisplay
    };
    static std::optional<Parsed> parse(const std::filesystem::path& file, std::string id);
};

}  // namespace veltrane::apps
