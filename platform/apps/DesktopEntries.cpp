#include "platform/apps/DesktopEntries.h"

#include <glib.h>

#include <algorithm>
#include <set>

#include "platform/fs/UserDirectories.h"

namespace veltrane::apps {
namespace fs = std::filesystem;
namespace {

constexpr const char* kGroup = "Desktop Entry";
constexpr const char* kSuffix = ".desktop";

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<fs::directory_entry> sortedListing(const fs::path& folder) {
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    fs::directory_iterator it(folder, error), end;
    for (; !error && it != end; it.increment(error)) entries.push_back(*it);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    return entries;
}

void collect(const fs::path& folder, const std::string& prefix, int depth, std::set<std::string>& seen,
             std::vector<DesktopEntry>& out) {
    for (const auto& item : sortedListing(folder)) {
        const std::string name = item.path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code error;
        if (item.is_directory(error)) {
            if (depth < DesktopEntries::kMaxDepth) collect(item.path(), prefix + name + "-", depth + 1, seen, out);
            continue;
        }
        if (!endsWith(name, kSuffix) || !item.is_regular_file(error)) continue;
        std::string id = prefix + name;
        if (seen.count(id) != 0) continue;
        auto parsed = DesktopEntries::parse(item.path(), id);
        if (!parsed) continue;  // unreadable: does not claim the id
        seen.insert(id);
        if (parsed->listed) out.push_back(std::move(parsed->entry));
    }
}

}  // namespace

std::vector<fs::path> DesktopEntries::dataDirectories() {
    std::vector<fs::path> dirs;
    if (auto home = veltrane::fs::applicationSupportDirectory()) dirs.push_back(*home);
    auto system = veltrane::fs::systemDataDirectories();
    dirs.insert(dirs.end(), system.begin(), system.end());
    return dirs;
}

std::vector<fs::path> DesktopEntries::applicationFolders() {
    auto dirs = dataDirectories();
    for (auto& dir : dirs) dir /= "applications";
    return dirs;
}

std::vector<DesktopEntry> DesktopEntries::scan(const std::vector<fs::path>& folders) {
    std::vector<DesktopEntry> entries;
    std::set<std::string> seen;
    for (const auto& folder : folders) collect(folder, "", 0, seen, entries);
    return entries;
}

std::optional<DesktopEntries::Parsed> DesktopEntries::parse(const fs::path& file, std::string id) {
    GKeyFile* keys = g_key_file_new();
    auto release = [&] { g_key_file_free(keys); };
    if (!g_key_file_load_from_file(keys, file.c_str(), G_KEY_FILE_NONE, nullptr) ||
        !g_key_file_has_group(keys, kGroup)) {
        release();
        return std::nullopt;
    }
    auto text = [&](const char* key, bool localized) {
        gchar* value = localized ? g_key_file_get_locale_string(keys, kGroup, key, nullptr, nullptr)
                                 : g_key_file_get_string(keys, kGroup, key, nullptr);
        std::string result = value != nullptr ? value : "";
        g_free(value);
        return result;
    };
    auto flag = [&](const char* key) { return g_key_file_get_boolean(keys, kGroup, key, nullptr) != FALSE; };

    Parsed parsed;
    parsed.entry.id = std::move(id);
    parsed.entry.path = file;
    parsed.entry.name = text("Name", true);
    if (parsed.entry.name.empty()) parsed.entry.name = file.stem().string();
    parsed.entry.icon = text("Icon", false);
    parsed.listed = text("Type", false) == "Application" && !flag("Hidden") && !flag("NoDisplay");
    release();
    return parsed;
}

}  // namespace veltrane::apps
