#include "ControlDeckCore/media/QQPlayQueue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

namespace veltrane::media::QQNowPlaying {
namespace {

using plist::Value;

Value text(std::string s) { return Value{std::move(s)}; }
Value ref(std::uint64_t index) { return Value{plist::Uid{index}}; }
Value xmlRef(std::int64_t index) { return Value{plist::Dictionary{{"CF$UID", Value{index}}}}; }
Value dict(std::vector<plist::Entry> entries) { return Value{plist::Dictionary(std::move(entries))}; }
Value list(std::vector<Value> items) { return Value{plist::Array(std::move(items))}; }

TEST(QQPlayQueueTest, ReferencesInEitherFormCyclesAndArchivedDictionaries) {
    const plist::Array objects = {
        /* 0 */ text("$null"),
        // References as XML keeps them; a wrapped double length.
        /* 1 */
        dict({{"songName", xmlRef(2)},
              {"song_Mid", xmlRef(3)},
              {"singerInfo", xmlRef(4)},
              {"song_Duration", dict({{"NS.dblval", Value{200.25}}, {"$class", ref(9)}})}}),
        /* 2 */ text(" Title \n"),
        /* 3 */ text("m1"),
        /* 4 */ dict({{"name", ref(5)}, {"$class", ref(9)}}),
        /* 5 */ text("Singer"),
        // A title naming a reference that names itself, and one past the
        // objects: neither resolves, so the plain "name" is the title.
        /* 6 */ dict({{"songName", ref(7)}, {"name", text("Fallback")}, {"song_Mid", ref(99)}}),
        /* 7 */ ref(7),
        // An archived album dictionary whose second "albumMid" is "$null":
        // the key leaves again, so the picture's id is taken.
        /* 8 */
        dict({{"songName", text("Third")},
              {"albumInfo", dict({{"NS.keys", list({text("name"), text("albumMid"), text("albumMid"), text("picMid")})},
                                  {"NS.objects", list({text("Album"), text("early"), ref(0), text("pic")})}})},
              {"song_Duration", text("187")}}),
        /* 9 */ dict({{"$classname", text("X")}}),
        // No title at all: skipped.
        /* 10 */ dict({{"song_Mid", text("m4")}, {"songName", text("  ")}}),
    };
    const auto tracks = parseLibraryObjects(objects);
    ASSERT_EQ(tracks.size(), 3u);
    EXPECT_EQ(tracks[0], (LibraryTrack{"Title", "Singer", std::nullopt, 200.25, "m1", std::nullopt}));
    EXPECT_EQ(tracks[1], (LibraryTrack{"Fallback", "", std::nullopt, 0, std::nullopt, std::nullopt}));
    EXPECT_EQ(tracks[2], (LibraryTrack{"Third", "", "Album", 187, std::nullopt, "pic"}));
}

TEST(QQPlayQueueTest, ABudgetBoundsTheWorkOfSelfNamingLists) {
    // Object 2 lists itself `width` times; every level multiplies the work.
    const auto archive = [](std::size_t width) {
        return plist::Array{text("$null"), dict({{"songName", text("T")}, {"singerList", ref(2)}}),
                            dict({{"NS.objects", list(std::vector<Value>(width, ref(2)))}})};
    };
    ASSERT_EQ(parseLibraryObjects(archive(3)).size(), 1u);
    EXPECT_TRUE(parseLibraryObjects(archive(200)).empty());

    ResolveBudget small{5};
    EXPECT_TRUE(parseLibraryObjects(archive(3), small).empty());
    EXPECT_TRUE(small.spent);
}

TEST(QQPlayQueueTest, UidsAndNumbers) {
    const std::vector<std::pair<Value, std::optional<std::int64_t>>> uids = {
        {ref(5), 5},
        {xmlRef(7), 7},
        {dict({{"CF$UID", Value{2.9}}}), 2},
        {dict({{"CF$UID", text("3")}}), std::nullopt},
        {text("5"), std::nullopt},
        {xmlRef(-1), -1},
    };
    for (const auto& [value, expected] : uids) EXPECT_EQ(uid(&value), expected);

    const plist::Array none;
    const std::vector<std::pair<Value, double>> numbers = {
        {Value{std::int64_t{3}}, 3},
        {text("2.5"), 2.5},
        {text(" 2.5"), 0},
        {text("2.5s"), 0},
        {Value{true}, 1},
        {text(""), 0},
        {dict({{"NS.intv", Value{std::int64_t{4}}}}), 4},
        {dict({{"NS.intv", text("4")}, {"NS.dblval", Value{1.5}}}), 1.5},
    };
    for (const auto& [value, expected] : numbers) {
        ResolveBudget budget;
        EXPECT_EQ(number(resolve(&value, none, 0, budget)), expected);
    }
}

// One song as an XML keyed archive, the form plistutil writes.
std::string xmlArchive(const std::string& title, const std::string& mid) {
    return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
<key>$objects</key><array><string>$null</string>
<dict><key>songName</key><dict><key>CF$UID</key><integer>2</integer></dict>
<key>singerInfo</key><dict><key>CF$UID</key><integer>3</integer></dict>
<key>song_Duration</key><integer>240</integer>
<key>song_Mid</key><string>)" +
           mid + R"(</string></dict>
<string>)" +
           title + R"(</string><dict><key>name</key><string>A</string></dict></array></dict></plist>)";
}

TEST(QQPlayQueueTest, TheFileIsReadAgainOnlyWhenItsTimeMoves) {
    testing::TempDirectory home;
    testing::ScopedEnvironment environment;
    environment.set("HOME", home.path().string());
    const auto path = libraryFile();
    ASSERT_EQ(path, home.path() / kLibraryPath);
    EXPECT_TRUE(loadLibrarySongs().empty());

    std::filesystem::create_directories(path.parent_path());
    const auto write = [&](const std::string& bytes, long seconds) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    write(xmlArchive("One", "m1"), 1000);
    ASSERT_EQ(loadLibrarySongs().size(), 1u);
    EXPECT_EQ(loadLibrarySongs()[0].title, "One");

    write(xmlArchive("Two", "m2"), 1000);
    EXPECT_EQ(loadLibrarySongs()[0].title, "One") << "same time: the cached queue";
    write(xmlArchive("Two", "m2"), 2000);
    EXPECT_EQ(loadLibrarySongs()[0].title, "Two");

    auto reading = QQNowPlaying::reading("Two", "A", true, std::nullopt, 0);
    EXPECT_EQ(enrich(reading).songMid, "m2");
    EXPECT_EQ(enrich(reading).duration, 240);

    write("not an archive", 3000);
    EXPECT_TRUE(loadLibrarySongs().empty());
    write(xmlArchive("Two", "m2"), 2000);
    EXPECT_EQ(loadLibrarySongs()[0].title, "Two") << "a failed read keeps the cache";
    std::filesystem::remove(path);
    EXPECT_TRUE(loadLibrarySongs().empty());
}

TEST(QQPlayQueueTest, CallersOnSeveralThreadsSeeWholeQueues) {
    testing::TempDirectory home;
    testing::ScopedEnvironment environment;
    environment.set("HOME", home.path().string());
    const auto path = libraryFile();
    std::filesystem::create_directories(path.parent_path());
    const auto write = [&](const std::string& title, long seconds) {
        // Replaced whole, as the player writes it, so no reader sees half a file.
        const auto temporary = path.string() + ".new";
        std::ofstream(temporary, std::ios::binary | std::ios::trunc) << xmlArchive(title, "m");
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ::utimensat(AT_FDCWD, temporary.c_str(), times, 0);
        std::filesystem::rename(temporary, path);
    };
    write("A", 1);
    std::atomic<bool> wrong{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                const auto songs = loadLibrarySongs();
                if (songs.size() != 1 || (songs[0].title != "A" && songs[0].title != "B")) wrong = true;
            }
        });
    for (int i = 0; i < 50; ++i) write(i % 2 ? "A" : "B", 2 + i);
    for (auto& reader : readers) reader.join();
    EXPECT_FALSE(wrong);
}

}  // namespace
}  // namespace veltrane::media::QQNowPlaying
