#pragma once
// QQ Music's play queue: the keyed archive it keeps in its container,
// read into LibraryTrack entries, and the one cached reading of that file.
//
// References are followed eight levels deep at most, and every value a
// parse visits counts against one budget, so an archive whose list names
// itself many times ends early (with no entries) instead of growing without
// bound.

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ControlDeckCore/media/QQNowPlaying.h"
#include "platform/plist/PropertyList.h"

namespace veltrane::media::QQNowPlaying {

// Larger files are not read.
inline constexpr std::size_t kMaxArchiveBytes = 32 * 1024 * 1024;
// Values one parse may visit, the archive's own and those it resolves.
inline constexpr std::size_t kMaxVisitedNodes = 1'000'000;
inline constexpr int kMaxResolveDepth = 7;
// Keyed archives nest four levels; the property-list reader refuses more
// than this.
inline constexpr int kMaxArchiveNesting = 32;

// Below the user's home folder.
inline constexpr std::string_view kLibraryPath =
    "Library/Containers/com.tencent.QQMusicMac/Data/Library/Application Support/QQMusicMac/iTemp/"
    "PlayingList.archive";

struct Resolved;
using ResolvedList = std::vector<Resolved>;
using ResolvedDictionary = std::map<std::string, Resolved, std::less<>>;

// A value with its references followed: absent, an archive value untouched,
// or a list or dictionary rebuilt from resolved parts.
struct Resolved {
    std::variant<std::monostate, const plist::Value*, std::shared_ptr<const ResolvedList>,
                 std::shared_ptr<const ResolvedDictionary>>
        value;

    bool present() const { return !std::holds_alternative<std::monostate>(value); }
    // The untouched archive value; none for absent and rebuilt values.
    const plist::Value* original() const;
    bool isList() const;
    std::size_t listSize() const;
    Resolved element(std::size_t index) const;  // below listSize()
    bool isDictionary() const;
    Resolved find(std::string_view key) const;  // absent when missing
};

// What one parse may still visit; once spent, every resolve gives absent.
struct ResolveBudget {
    std::size_t remaining = kMaxVisitedNodes;
    bool spent = false;
};

// The object index a reference names: a {"CF$UID": n} dictionary or a
// reference value.
std::optional<std::int64_t> uid(const plist::Value* value);
Resolved resolve(const plist::Value* value, const plist::Array& objects, int depth, ResolveBudget& budget);
// A usable text: trimmed, neither empty nor "$null".
std::optional<std::string> string(const Resolved& value);
// Numbers, decimal texts and wrapped numbers ("NS.intv", "NS.dblval"); 0
// for anything else.
double number(const Resolved& value);

// Every song record of "$objects", in order; none at all when the budget is
// spent.
std::vector<LibraryTrack> parseLibraryObjects(const plist::Array& objects, ResolveBudget& budget);
std::vector<LibraryTrack> parseLibraryObjects(const plist::Array& objects);
// The entries of an archive's bytes; none when they are no keyed archive
// (or too large to read).
std::optional<std::vector<LibraryTrack>> parseLibraryArchive(std::string_view bytes);

// The play-queue file below $HOME.
std::filesystem::path libraryFile();
// The play queue (empty when the file cannot be read), parsed again only
// when the file's modification time moved. Any thread.
std::vector<LibraryTrack> loadLibrarySongs();

// `enrich` from the play-queue file, read only for readings that need it.
Snapshot enrich(const Snapshot& reading);

}  // namespace veltrane::media::QQNowPlaying
