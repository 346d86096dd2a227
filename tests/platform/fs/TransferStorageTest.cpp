#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "platform/fs/TransferStorage.h"
#include "tests/support/SmallDisk.h"
#include "tests/support/Files.h"
#include "tests/support/TempDirectory.h"

using veltrane::fs::TransferStorage;
using Path = std::filesystem::path;
using veltrane::testing::readFile;
using veltrane::testing::writeFile;

namespace {

std::size_t entryCount(const Path& folder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
    return n;
}

class TransferStorageTest : public ::testing::Test {
protected:
    veltrane::testing::TempDirectory temp;
    std::shared_ptr<TransferStorage> storage = TransferStorage::local();
};

}  // namespace

TEST_F(TransferStorageTest, WriteAtCutsTheFileFirst) {
    Path file = temp.path() / "upload.part";
    storage->writeWhole(file, "");
    storage->writeAt(file, 0, "hello");
    storage->writeAt(file, 5, " world, and stray bytes");
    EXPECT_EQ(readFile(file), "hello world, and stray bytes");
    // A rewrite at 11 drops everything after it.
    storage->writeAt(file, 11, "!");
    EXPECT_EQ(readFile(file), "hello world!");
    EXPECT_THROW(storage->writeAt(temp.path() / "missing.part", 0, "x"), std::system_error);
}

TEST_F(TransferStorageTest, WriteWholeReplacesAndLeavesNothingBehind) {
    Path file = temp.path() / "index.json";
    storage->writeWhole(file, "old");
    storage->writeWhole(file, "new");
    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(entryCount(temp.path()), 1u);
    try {
        storage->writeWhole(temp.path() / "no-folder" / "index.json", "x");
        FAIL() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find("no-folder/index.json"), std::string::npos) << error.what();
    }
}

TEST_F(TransferStorageTest, MovingNeverReplacesAnEntry) {
    Path from = temp.path() / "a.part";
    Path to = temp.path() / "a.txt";
    writeFile(from, "upload");
    writeFile(to, "the user's own file");
    EXPECT_FALSE(storage->moveWithoutReplacing(from, to));
    EXPECT_EQ(readFile(to), "the user's own file");
    EXPECT_EQ(readFile(from), "upload");

    std::filesystem::create_symlink(temp.path() / "nowhere", temp.path() / "dangling");
    EXPECT_TRUE(storage->nameTaken(temp.path() / "dangling"));
    EXPECT_FALSE(storage->inspect(temp.path() / "dangling"));
    EXPECT_FALSE(storage->moveWithoutReplacing(from, temp.path() / "dangling"));
    EXPECT_FALSE(std::filesystem::exists(temp.path() / "nowhere"));

    ASSERT_TRUE(storage->moveWithoutReplacing(from, temp.path() / "b.txt"));
    EXPECT_EQ(readFile(temp.path() / "b.txt"), "upload");
    EXPECT_FALSE(storage->nameTaken(from));
    EXPECT_THROW(storage->moveWithoutReplacing(from, temp.path() / "c.txt"), std::system_error);
}

TEST_F(TransferStorageTest, MovingAcrossFileSystemsCopies) {
    veltrane::testing::SmallDisk disk(64 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << disk.reason();
    Path from = temp.path() / "a.part";
    std::string bytes(40 * 1024, 'x');
    writeFile(from, bytes);
    writeFile(disk.path() / "taken.txt", "mine");
    EXPECT_FALSE(storage->moveWithoutReplacing(from, disk.path() / "taken.txt"));
    EXPECT_EQ(readFile(disk.path() / "taken.txt"), "mine");

    ASSERT_TRUE(storage->moveWithoutReplacing(from, disk.path() / "a.txt"));
    EXPECT_EQ(readFile(disk.path() / "a.txt"), bytes);
    EXPECT_FALSE(storage->nameTaken(from));

    // No room for a second copy: nothing half-written stays, the source does.
    writeFile(from, bytes);
    EXPECT_THROW(storage->moveWithoutReplacing(from, disk.path() / "b.txt"), std::system_error);
    EXPECT_FALSE(storage->nameTaken(disk.path() / "b.txt"));
    EXPECT_EQ(readFile(from), bytes);
}

TEST_F(TransferStorageTest, CopiesOnlyRegularFilesToNewNames) {
    Path source = temp.path() / "offered.txt";
    writeFile(source, "content");
    storage->copyFile(source, temp.path() / "copy.txt");
    EXPECT_EQ(readFile(temp.path() / "copy.txt"), "content");
    EXPECT_THROW(storage->copyFile(source, temp.path() / "copy.txt"), std::system_error);  // never overwrites

    Path fifo = temp.path() / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(storage->copyFile(fifo, temp.path() / "from-pipe"), std::system_error);  // and does not hang
    EXPECT_FALSE(storage->nameTaken(temp.path() / "from-pipe"));
    EXPECT_FALSE(storage->readWhole(fifo));
}

TEST_F(TransferStorageTest, InspectsAndRemoves) {
    Path folder = temp.path() / "outbox" / "id";
    storage->createDirectories(folder);
    writeFile(folder / "f", "12345");
    EXPECT_EQ(storage->inspect(folder / "f")->size, 5u);
    EXPECT_FALSE(storage->inspect(folder / "f")->isDirectory);
    EXPECT_TRUE(storage->inspect(folder)->isDirectory);
    EXPECT_FALSE(storage->inspect(folder / "none"));
    EXPECT_EQ(storage->readWhole(folder / "f"), "12345");
    EXPECT_TRUE(storage->removeAll(folder));
    EXPECT_FALSE(storage->nameTaken(folder));
    EXPECT_TRUE(storage->removeAll(folder));  // already gone
    writeFile(temp.path() / "plain", "x");
    EXPECT_THROW(storage->createDirectories(temp.path() / "plain"), std::system_error);
}
