#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "platform/fs/FileSystem.h"
#include "tests/support/TempDirectory.h"

using veltrane::fs::FileSystem;
using veltrane::testing::TempDirectory;

namespace {
std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

TEST(LocalFileSystem, WritesReadsAndReplaces) {
    TempDirectory dir;
    auto files = FileSystem::local();
    auto target = dir.path() / "data.json";
    auto temporary = dir.path() / "data.json.tmp";

    EXPECT_FALSE(files->readFile(target).has_value());
    EXPECT_FALSE(files->fileExists(target));
    ASSERT_TRUE(files->writeFile(target, "old, and longer than the new text", false));
    ASSERT_TRUE(files->writeFile(temporary, std::string("new\0bytes", 9), true));
    ASSERT_TRUE(files->replaceFile(target, temporary));

    EXPECT_EQ(files->readFile(target), std::string("new\0bytes", 9));
    EXPECT_TRUE(files->fileExists(target));
    EXPECT_FALSE(std::filesystem::exists(temporary));
    EXPECT_FALSE(files->replaceFile(target, temporary)) << "nothing left to put in place";
}

TEST(LocalFileSystem, WriteIntoMissingFolderFails) {
    TempDirectory dir;
    EXPECT_FALSE(FileSystem::local()->writeFile(dir.path() / "missing" / "f", "x", true));
}

TEST(LocalFileSystem, ReadsOnlyRegularFiles) {
    TempDirectory dir;
    auto fifo = dir.path() / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opening a FIFO for reading would wait for a writer; it must not.
    EXPECT_FALSE(FileSystem::local()->readFile(fifo).has_value());
    EXPECT_FALSE(FileSystem::local()->readFile(dir.path()).has_value());
}

TEST(LocalFileSystem, CreatesNestedFolders) {
    TempDirectory dir;
    auto nested = dir.path() / "a" / "b" / "c";
    EXPECT_TRUE(FileSystem::local()->createDirectories(nested));
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    EXPECT_TRUE(FileSystem::local()->createDirectories(nested)) << "an existing folder is fine";
    FileSystem::local()->writeFile(dir.path() / "file", "x", false);
    EXPECT_FALSE(FileSystem::local()->createDirectories(dir.path() / "file"));
}

TEST(LocalFileSystem, ListsVisibleEntriesWithKindAndDate) {
    TempDirectory dir;
    auto files = FileSystem::local();
    files->writeFile(dir.path() / "a.png", "a", false);
    files->writeFile(dir.path() / ".hidden", "h", false);
    std::filesystem::create_directory(dir.path() / "sub");

    auto entries = files->listDirectory(dir.path());
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 2u);
    std::sort(entries->begin(), entries->end(), [](auto& a, auto& b) { return a.path < b.path; });
    EXPECT_EQ((*entries)[0].path, dir.path() / "a.png");
    EXPECT_FALSE((*entries)[0].isDirectory);
    EXPECT_TRUE((*entries)[0].modified.has_value());
    EXPECT_EQ((*entries)[1].path, dir.path() / "sub");
    EXPECT_TRUE((*entries)[1].isDirectory);

    EXPECT_FALSE(files->listDirectory(dir.path() / "missing").has_value());
}

TEST(LocalFileSystem, RemovesFilesAndLinksButNotFolders) {
    TempDirectory dir;
    auto files = FileSystem::local();
    files->writeFile(dir.path() / "kept", "still here", false);
    std::filesystem::create_symlink(dir.path() / "kept", dir.path() / "link");
    std::filesystem::create_directory(dir.path() / "folder");

    EXPECT_TRUE(files->removeFile(dir.path() / "link"));
    EXPECT_EQ(slurp(dir.path() / "kept"), "still here");
    EXPECT_FALSE(files->removeFile(dir.path() / "folder"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "folder"));
    EXPECT_FALSE(files->removeFile(dir.path() / "missing"));
}
