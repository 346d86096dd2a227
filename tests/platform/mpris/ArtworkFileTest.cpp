#include "platform/mpris/ArtworkFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TempDirectory.h"

using namespace veltrane;
using veltrane::mpris::ArtworkFile;

namespace {
void write(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
}  // namespace

TEST(ArtworkFile, ReadsARegularFileOnceWhileItIsUnchanged) {
    veltrane::testing::TempDirectory dir;
    const auto path = dir.path() / "cover.jpg";
    write(path, "first");
    ArtworkFile file;
    const auto first = file.read(path.string());
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, "first");
    EXPECT_EQ(file.read(path.string()), first) << "the same bytes, not read again";

    write(path, "second, longer");
    const auto second = file.read(path.string());
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, "second, longer");

    // Same size, another modification time.
    write(path, "second, LONGER");
    timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(*file.read(path.string()), "second, LONGER");
}

TEST(ArtworkFile, RefusesWhatIsNotAnOrdinaryPicture) {
    veltrane::testing::TempDirectory dir;
    const auto fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto big = dir.path() / "big";
    write(big, "");
    std::filesystem::resize_file(big, ArtworkFile::kMaxBytes + 1);
    const auto limit = dir.path() / "limit";
    write(limit, "");
    std::filesystem::resize_file(limit, ArtworkFile::kMaxBytes);
    write(dir.path() / "empty", "");

    ArtworkFile file;
    EXPECT_EQ(file.read(fifo.string()), nullptr) << "a FIFO must neither block nor be read";
    EXPECT_EQ(file.read(big.string()), nullptr);
    EXPECT_EQ(file.read((dir.path() / "empty").string()), nullptr);
    EXPECT_EQ(file.read((dir.path() / "missing").string()), nullptr);
    EXPECT_EQ(file.read(dir.path().string()), nullptr);
    EXPECT_EQ(file.read("/dev/zero"), nullptr);
    const auto atLimit = file.read(limit.string());
    ASSERT_TRUE(atLimit);
    EXPECT_EQ(atLimit->size(), ArtworkFile::kMaxBytes);
}
