#include "ControlDeckCore/media/QQPlayQueue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>

#include "platform/fs/UserDirectories.h"
#include "platform/system/FileDescriptor.h"
#include "platform/text/Whitespace.h"

namespace veltrane::media::QQNowPlaying {
namespace {

constexpr std::string_view kNull = "$null";

bool usable(std::string_view trimmed) { return !trimmed.empty() && trimmed != kNull; }

// Booleans are numbers too, as the archive's number objects bridge them.
std::optional<double> numberObject(const plist::Value* value) {
    if (!value) return std::nullopt;
    if (const auto* flag = std::get_if<bool>(&value->value)) return *flag ? 1.0 : 0.0;
    if (const auto* integer = std::get_if<std::int64_t>(&value->value)) return static_cast<double>(*integer);
    if (const auto* real = std::get_if<double>(&value->value)) return *real;
    return std::nullopt;
}

// The whole text as a C-locale decimal (or hexadecimal) number.
std::optional<double> decimal(const std::string& text) {
    if (text.empty() || text::isWhitespaceOrNewline(static_cast<unsigned char>(text.front()))) return std::nullopt;
    static const locale_t cLocale = ::newlocale(LC_NUMERIC_MASK, "C", nullptr);
    char* end = nullptr;
    const double value = ::strtod_l(text.c_str(), &end, cLocale);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return value;
}

std::optional<plist::Value> readArchive(std::string_view bytes) {
    if (bytes.size() > kMaxArchiveBytes) return std::nullopt;
    return plist::parse(bytes, {kMaxVisitedNodes, kMaxArchiveNesting});
}

// The content modification time in nanoseconds; the distant past when the
// file cannot be asked.
long long modificationTime(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::numeric_limits<long long>::min();
    return static_cast<long long>(status.st_mtim.tv_sec) * 1'000'000'000LL + status.st_mtim.tv_nsec;
}

std::optional<std::string> readWhole(const std::filesystem::path& path) {
    sys::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_size) > kMaxArchiveBytes)
        return std::nullopt;
    std::string bytes;
    // One byte past the size it had tells that it grew while read.
    bytes.resize(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    if (filled > static_cast<std::size_t>(status.st_size)) return std::nullopt;
    bytes.resize(filled);
    return bytes;
}

struct LibraryCache {
    long long mtime = 0;
    std::vector<LibraryTrack> songs;
};
std::mutex libraryLock;
std::optional<LibraryCache> libraryCache;  // under libraryLock

}  // namespace

const plist::Value* Resolved::original() const {
    const auto* held = std::get_if<const plist::Value*>(&value);
    return held ? *held : nullptr;
}

bool Resolved::isList() const {
    if (std::holds_alternative<std::shared_ptr<const ResolvedList>>(value)) return true;
    return original() && original()->array();
}

std::size_t Resolved::listSize() const {
    if (const auto* list = std::get_if<std::shared_ptr<const ResolvedList>>(&value)) return (*list)->size();
    if (const auto* array = original() ? original()->array() : nullptr) return array->size();
    return 0;
}

Resolved Resolved::element(std::size_t index) const {
    if (const auto* list = std::get_if<std::shared_ptr<const ResolvedList>>(&value)) return (**list)[index];
    return Resolved{&(*original()->array())[index]};
}

bool Resolved::isDictionary() const {
    if (std::holds_alternative<std::shared_ptr<const ResolvedDictionary>>(value)) return true;
    return original() && original()->dictionary();
}

Resolved Resolved::find(std::string_view key) const {
    if (const auto* map = std::get_if<std::shared_ptr<const ResolvedDictionary>>(&value)) {
        const auto found = (*map)->find(key);
        return found == (*map)->end() ? Resolved{} : found->second;
    }
    const auto* entry = original() ? original()->find(key) : nullptr;
    return entry ? Resolved{entry} : Resolved{};
}

std::optional<std::int64_t> uid(const plist::Value* value) {
    if (!value) return std::nullopt;
    if (const auto* reference = std::get_if<plist::Uid>(&value->value)) {
        if (reference->index > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(reference->index);
    }
    if (!value->dictionary()) return std::nullopt;
    const auto* entry = value->find("CF$UID");
    if (!entry) return std::nullopt;
    if (const auto* integer = std::get_if<std::int64_t>(&entry->value)) return *integer;
    const auto number = numberObject(entry);
    // Integers of the index's range only; anything else names nothing.
    if (!number || !(std::abs(*number) < 9.2e18)) return std::nullopt;
    return static_cast<std::int64_t>(*number);
}

Resolved resolve(const plist::Value* value, const plist::Array& objects, int depth, ResolveBudget& budget) {
    if (!value || budget.spent) return {};
    if (budget.remaining == 0) {
        budget.spent = true;
        return {};
    }
    --budget.remaining;
    if (depth > kMaxResolveDepth) return {};
    if (const auto index = uid(value); index && *index >= 0 && static_cast<std::uint64_t>(*index) < objects.size())
        return resolve(&objects[static_cast<std::size_t>(*index)], objects, depth + 1, budget);

    if (!value->dictionary()) {
        if (const auto* text = value->string(); text && *text == kNull) return {};
        return Resolved{value};
    }
    const plist::Value* keys = value->find("NS.keys");
    const plist::Value* items = value->find("NS.objects");
    if (keys && keys->array() && items && items->array()) {
        auto map = std::make_shared<ResolvedDictionary>();
        const std::size_t count = std::min(keys->array()->size(), items->array()->size());
        for (std::size_t k = 0; k < count; ++k) {
            const auto key = string(resolve(&(*keys->array())[k], objects, depth + 1, budget));
            if (!key) continue;
            auto item = resolve(&(*items->array())[k], objects, depth + 1, budget);
            if (item.present())
                (*map)[*key] = std::move(item);
            else
                map->erase(*key);
        }
        return Resolved{std::shared_ptr<const ResolvedDictionary>(std::move(map))};
    }
    if (!keys && items && items->array()) {
        auto list = std::make_shared<ResolvedList>();
        list->reserve(items->array()->size());
        for (const auto& item : *items->array()) list->push_back(resolve(&item, objects, depth + 1, budget));
        return Resolved{std::shared_ptr<const ResolvedList>(std::move(list))};
    }
    auto map = std::make_shared<ResolvedDictionary>();
    for (const auto& entry : *value->dictionary()) {
        if (entry.key == "$class") continue;
        auto item = resolve(&entry.value, objects, depth + 1, budget);
        if (item.present()) (*map)[entry.key] = std::move(item);
    }
    return Resolved{std::shared_ptr<const ResolvedDictionary>(std::move(map))};
}

std::optional<std::string> string(const Resolved& value) {
    const auto* text = value.original() ? value.original()->string() : nullptr;
    if (!text) return std::nullopt;
    const auto trimmed = text::trimmingWhitespaceAndNewlines(*text);
    if (!usable(trimmed)) return std::nullopt;
    return std::string(trimmed);
}

double number(const Resolved& value) {
    if (const auto plain = numberObject(value.original())) return *plain;
    if (const auto* text = value.original() ? value.original()->string() : nullptr)
        if (const auto parsed = decimal(*text)) return *parsed;
    if (!value.isDictionary()) return 0;
    for (std::string_view key : {"NS.intv", "NS.dblval"})
        if (const auto wrapped = numberObject(value.find(key).original())) return *wrapped;
    return 0;
}

std::vector<LibraryTrack> parseLibraryObjects(const plist::Array& objects, ResolveBudget& budget) {
    std::vector<LibraryTrack> tracks;
    const auto at = [&](const plist::Value& record, std::string_view key) {
        return resolve(record.find(key), objects, 0, budget);
    };
    for (const auto& record : objects) {
        if (budget.spent) return {};
        if (!record.dictionary() || (!record.find("songName") && !record.find("song_Mid"))) continue;
        LibraryTrack track;
        auto title = string(at(record, "songName"));
        if (!title) title = string(at(record, "name"));
        if (!title) continue;
        track.title = std::move(*title);

        const Resolved singerInfo = at(record, "singerInfo");
        const Resolved albumInfo = at(record, "albumInfo");
        const Resolved singerList = at(record, "singerList");
        const Resolved& singers = singerList.isList() && singerList.listSize() > 0 ? singerList : singerInfo;
        const auto addName = [&](const Resolved& singer) {
            if (!singer.isDictionary()) return;
            if (auto name = string(singer.find("name"))) {
                if (!track.artist.empty()) track.artist += " / ";
                track.artist += *name;
            }
        };
        if (singers.isList())
            for (std::size_t i = 0; i < singers.listSize(); ++i) addName(singers.element(i));
        else
            addName(singers);

        if (albumInfo.isDictionary()) {
            track.album = string(albumInfo.find("name"));
            auto albumMid = string(albumInfo.find("albumMid"));
            if (!albumMid) albumMid = string(albumInfo.find("picMid"));
            track.albumMid = emptyToNil(albumMid);
        }
        track.duration = number(at(record, "song_Duration"));
        track.songMid = emptyToNil(string(at(record, "song_Mid")));
        tracks.push_back(std::move(track));
    }
    if (budget.spent) return {};
    return tracks;
}

std::vector<LibraryTrack> parseLibraryObjects(const plist::Array& objects) {
    ResolveBudget budget;
    return parseLibraryObjects(objects, budget);
}

std::optional<std::vector<LibraryTrack>> parseLibraryArchive(std::string_view bytes) {
    const auto root = readArchive(bytes);
    if (!root) return std::nullopt;
    const plist::Value* objects = root->find("$objects");
    if (!objects || !objects->array()) return std::nullopt;
    ResolveBudget budget;
    // The archive's own values count against the same budget.
    return parseLibraryObjects(*objects->array(), budget);
}

std::filesystem::path libraryFile() {
    const auto home = fs::homeDirectory();
    return home ? *home / kLibraryPath : std::filesystem::path();
}

std::vector<LibraryTrack> loadLibrarySongs() {
    const auto path = libraryFile();
    if (path.empty()) return {};
    const long long mtime = modificationTime(path);
    {
        std::lock_guard lock(libraryLock);
        if (libraryCache && libraryCache->mtime == mtime) return libraryCache->songs;
    }
    const auto bytes = readWhole(path);
    if (!bytes) return {};
    auto songs = parseLibraryArchive(*bytes);
    if (!songs) return {};
    std::lock_guard lock(libraryLock);
    libraryCache = LibraryCache{mtime, *songs};
    return std::move(*songs);
}

Snapshot enrich(const Snapshot& reading) {
    if (!reading.title || reading.title->empty()) return reading;
    if (reading.songMid && usable(text::trimmingWhitespaceAndNewlines(*reading.songMid))) return reading;
    return enrich(reading, loadLibrarySongs());
}

}  // namespace veltrane::media::QQNowPlaying
