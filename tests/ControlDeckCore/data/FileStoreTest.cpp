#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <set>

#include "ControlDeckCore/data/ClipboardHistoryItem.h"
#include "ControlDeckCore/data/DeckSettings.h"
#include "ControlDeckCore/data/FileStore.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

using namespace veltrane::deck;
using veltrane::testing::ScopedEnvironment;
using veltrane::testing::TempDirectory;
namespace vfs = veltrane::fs;
namespace stdfs = std::filesystem;

namespace {

std::string slurp(const stdfs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const stdfs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The real file system with steps that can be made to fail.
class ScriptedFileSystem : public vfs::FileSystem {
public:
    bool failTemporaryWrites = false;
    bool failDirectWrites = false;
    bool failReplace = false;
    // Writes half of the bytes, then reports failure (a full disk).
    bool cutDirectWrites = false;

    bool createDirectories(const vfs::Path& p) override { return real_->createDirectories(p); }
    bool writeFile(const vfs::Path& p, std::string_view bytes, bool durable) override {
        bool temporary = p.extension() == ".tmp";
        if (temporary ? failTemporaryWrites : failDirectWrites) return false;
        if (!temporary && cutDirectWrites) {
            real_->writeFile(p, bytes.substr(0, bytes.size() / 2), durable);
            return false;
        }
        return real_->writeFile(p, bytes, durable);
    }
    bool replaceFile(const vfs::Path& target, const vfs::Path& replacement) override {
        return !failReplace && real_->replaceFile(target, replacement);
    }
    std::optional<std::string> readFile(const vfs::Path& p) override { return real_->readFile(p); }
    bool fileExists(const vfs::Path& p) override { return real_->fileExists(p); }
    std::optional<std::vector<vfs::DirectoryEntry>> listDirectory(const vfs::Path& p) override {
        return real_->listDirectory(p);
    }
    bool removeFile(const vfs::Path& p) override { return real_->removeFile(p); }

private:
    std::shared_ptr<vfs::FileSystem> real_ = vfs::FileSystem::local();
};

LayoutDocument smallLayout(std::string name = "P") {
    return {1,
            {DeckPage{"p", std::move(name), {WidgetInstance{"w", "connection", 0, 0, 12, 3, {{"a/b", JSONValue::Array{true}}}}}}},
            "p"};
}

}  // namespace

TEST(FileStore, CreatesItsFoldersAndKeepsAnExistingDirectory) {
    TempDirectory dir;
    auto root = dir.path() / "deep" / "data";
    FileStore store(root);
    EXPECT_EQ(store.root(), root);
    EXPECT_TRUE(stdfs::is_directory(root / "screenshots"));
    EXPECT_TRUE(stdfs::is_directory(root / "transfers"));
    EXPECT_FALSE(stdfs::exists(root / "Connection")) << "its owner creates it";

    put(root / "settings.json", "{}");
    put(root / "transfers" / "index.json", "[]");
    FileStore again(root);
    EXPECT_EQ(slurp(root / "settings.json"), "{}");
    EXPECT_EQ(slurp(root / "transfers" / "index.json"), "[]");
}

TEST(FileStore, FolderThatCannotBeCreatedIsSkipped) {
    TempDirectory dir;
    put(dir.path() / "file", "x");
    FileStore store(dir.path() / "file" / "data");  // a file stands where a folder should be
    store.saveLayout(smallLayout());
    EXPECT_EQ(slurp(dir.path() / "file"), "x");
}

TEST(FileStore, SavesLayoutAsPrettySortedJSON) {
    TempDirectory dir;
    FileStore store(dir.path());
    ASSERT_FALSE(stdfs::exists(dir.path() / "layout.json"));
    store.saveLayout(smallLayout());
    EXPECT_EQ(slurp(dir.path() / "layout.json"), R"({
  "activePageId" : "p",
  "pages" : [
    {
      "id" : "p",
      "name" : "P",
      "widgets" : [
        {
          "h" : 3,
          "id" : "w",
          "settings" : {
            "a\/b" : [
              true
            ]
          },
          "type" : "connection",
          "w" : 12,
          "x" : 0,
          "y" : 0
        }
      ]
    }
  ],
  "version" : 1
})");
    EXPECT_FALSE(stdfs::exists(dir.path() / "layout.json.tmp"));
    EXPECT_EQ(store.loadLayout(), smallLayout());
}

TEST(FileStore, FallsBackToADirectWrite) {
    struct Case {
        const char* what;
        bool failTemporaryWrites;
        bool failReplace;
        bool temporaryLeft;
    };
    const Case cases[] = {
        {"temporary file cannot be written", true, false, false},
        {"temporary file cannot replace the target", false, true, true},
    };
    for (const auto& c : cases) {
        TempDirectory dir;
        auto files = std::make_shared<ScriptedFileSystem>();
        FileStore store(dir.path(), files);
        store.saveLayout(smallLayout("old"));
        files->failTemporaryWrites = c.failTemporaryWrites;
        files->failReplace = c.failReplace;
        store.saveLayout(smallLayout("new"));
        EXPECT_EQ(store.loadLayout(), smallLayout("new")) << c.what;
        EXPECT_EQ(stdfs::exists(dir.path() / "layout.json.tmp"), c.temporaryLeft) << c.what;

        // The next good save takes any leftover with it.
        files->failTemporaryWrites = files->failReplace = false;
        store.saveLayout(smallLayout("newer"));
        EXPECT_EQ(store.loadLayout(), smallLayout("newer")) << c.what;
        EXPECT_FALSE(stdfs::exists(dir.path() / "layout.json.tmp")) << c.what;
    }
}

TEST(FileStore, FailuresLeaveTheFileAndAreNotReported) {
    TempDirectory dir;
    auto files = std::make_shared<ScriptedFileSystem>();
    FileStore store(dir.path(), files);
    store.saveLayout(smallLayout("kept"));
    const auto before = slurp(dir.path() / "layout.json");

    // A value JSON cannot hold: nothing is written at all.
    auto unwritable = smallLayout("lost");
    unwritable.pages[0].widgets[0].settings["n"] = std::numeric_limits<double>::infinity();
    store.saveLayout(unwritable);
    EXPECT_EQ(slurp(dir.path() / "layout.json"), before);

    files->failTemporaryWrites = files->failDirectWrites = true;
    store.saveLayout(smallLayout("lost"));
    EXPECT_EQ(slurp(dir.path() / "layout.json"), before);
}

TEST(FileStore, WritesAnyDataFileTheSameWay) {
    TempDirectory dir;
    FileStore store(dir.path());
    auto settings = DeckSettings::makeDefault("Studio", 8742);
    store.write(FileStore::settingsFile, settings.encode());
    EXPECT_EQ(store.load<DeckSettings>(FileStore::settingsFile), settings);
    EXPECT_FALSE(stdfs::exists(dir.path() / "settings.json.tmp"));

    std::vector<ClipboardHistoryItem> history{{"A", "one", *iso8601::parse("2025-01-31T12:00:00Z")}};
    store.write(FileStore::clipboardHistoryFile, coding::encodeArray(history));
    EXPECT_EQ(store.load<std::vector<ClipboardHistoryItem>>(FileStore::clipboardHistoryFile), history);
    EXPECT_NE(slurp(dir.path() / "clipboard-history.json").find("\"createdAt\" : \"2025-01-31T12:00:00Z\""),
              std::string::npos);
}

TEST(FileStore, LoadGivesNothingForMissingOrBadFiles) {
    TempDirectory dir;
    FileStore store(dir.path());
    EXPECT_FALSE(store.exists(FileStore::settingsFile));
    EXPECT_EQ(store.load<DeckSettings>(FileStore::settingsFile), std::nullopt);
    for (const char* bad : {"", "{", R"({"port":70000})", "[]"}) {
        put(dir.path() / "settings.json", bad);
        EXPECT_TRUE(store.exists(FileStore::settingsFile));
        EXPECT_EQ(store.load<DeckSettings>(FileStore::settingsFile), std::nullopt) << bad;
    }
}

TEST(FileStore, DamagedOrEmptyLayoutLoadsAsDefault) {
    TempDirectory dir;
    FileStore store(dir.path());
    EXPECT_EQ(store.loadLayout(), LayoutDocument::makeDefault()) << "missing";
    for (const char* bad : {"", "{\"pages\":", "[1]", R"({"pages":[{"id":"a"}]})"}) {
        put(dir.path() / "layout.json", bad);
        EXPECT_EQ(store.loadLayout(), LayoutDocument::makeDefault()) << bad;
        EXPECT_EQ(slurp(dir.path() / "layout.json"), bad) << "the damaged file stays until the next save";
    }
}

TEST(FileStore, PruningKeepsTheNewestPictures) {
    TempDirectory dir;
    FileStore store(dir.path());
    auto shots = dir.path() / "screenshots";
    const auto now = stdfs::file_time_type::clock::now();
    auto make = [&](const char* name, int hoursAgo) {
        put(shots / name, name);
        stdfs::last_write_time(shots / name, now - std::chrono::hours(hoursAgo));
    };
    make("newest.png", 1);
    make("UPPER.PNG", 2);
    make("third.png", 3);
    make("oldest.png", 4);
    make("older.jpg", 9);
    make("noextension", 9);
    make("png", 9);
    stdfs::create_directory(shots / "folder.png");
    stdfs::last_write_time(shots / "folder.png", now - std::chrono::hours(9));

    store.pruneScreenshots(3);

    std::set<std::string> left;
    for (const auto& entry : stdfs::directory_iterator(shots)) left.insert(entry.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{"newest.png", "UPPER.PNG", "third.png", "older.jpg", "noextension", "png",
                                           "folder.png"}));

    store.pruneScreenshots(0);
    left.clear();
    for (const auto& entry : stdfs::directory_iterator(shots)) left.insert(entry.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{"older.jpg", "noextension", "png", "folder.png"}));
}

TEST(FileStore, PruningWithoutTheFolderDoesNothing) {
    TempDirectory dir;
    FileStore store(dir.path());
    stdfs::remove(dir.path() / "screenshots");
    store.pruneScreenshots(3);
    EXPECT_FALSE(stdfs::exists(dir.path() / "screenshots"));
}

TEST(FileStore, ResetRemovesTheConfigurationOnly) {
    TempDirectory dir;
    FileStore store(dir.path());
    const auto& root = dir.path();
    for (const char* name : {"settings.json", "identity.json", "clipboard-history.json", "layout.json.tmp"})
        put(root / name, "{}");
    put(root / "screenshots" / "A.png", "png");
    put(root / "transfers" / "index.json", "[]");
    stdfs::create_directory(root / "Connection");
    put(root / "Connection" / "stream-grants.json", "{}");

    store.resetConfiguration();  // layout.json and actions.json do not exist: no matter

    for (const char* name : {"settings.json", "layout.json", "identity.json", "actions.json", "clipboard-history.json"})
        EXPECT_FALSE(stdfs::exists(root / name)) << name;
    for (const char* kept : {"layout.json.tmp", "screenshots/A.png", "transfers/index.json", "Connection/stream-grants.json"})
        EXPECT_TRUE(stdfs::exists(root / kept)) << kept;
}

TEST(FileStore, ScreenshotURLStaysInItsFolder) {
    FileStore store("/nonexistent/data", std::make_shared<ScriptedFileSystem>());
    EXPECT_EQ(store.screenshotURL("ABC-1"), stdfs::path("/nonexistent/data/screenshots/ABC-1.png"));
    EXPECT_EQ(store.screenshotURL("/etc/x"), stdfs::path("/nonexistent/data/screenshots//etc/x.png"));
}

TEST(FileStore, InboxIsInTheDownloadsFolderUnlessFake) {
    TempDirectory dir;
    ScopedEnvironment environment;
    auto home = dir.path() / "home";
    auto config = dir.path() / "config";
    stdfs::create_directories(config);
    environment.set("HOME", home.c_str());
    environment.set("XDG_CONFIG_HOME", config.c_str());
    FileStore store(dir.path() / "data");

    EXPECT_EQ(store.inboxDirectory(true), dir.path() / "data" / "inbox");
    EXPECT_EQ(store.inboxDirectory(false), home / "Downloads" / "Veltrane Control Deck");
    put(config / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Incoming\"\n");
    EXPECT_EQ(store.inboxDirectory(false), home / "Incoming" / "Veltrane Control Deck");
}

TEST(FileStore, ScreenshotsAreWrittenWholeOrNotAtAll) {
    TempDirectory dir;
    auto files = std::make_shared<ScriptedFileSystem>();
    FileStore store(dir.path(), files);
    const std::string png(64, 'p');
    store.saveScreenshot("A", png);
    EXPECT_EQ(slurp(dir.path() / "screenshots" / "A.png"), png);

    for (bool cut : {false, true}) {
        files->failDirectWrites = !cut;
        files->cutDirectWrites = cut;
        EXPECT_THROW(store.saveScreenshot("B", png), std::runtime_error);
        EXPECT_FALSE(stdfs::exists(dir.path() / "screenshots" / "B.png"));
    }
    EXPECT_EQ(slurp(dir.path() / "screenshots" / "A.png"), png);
}
