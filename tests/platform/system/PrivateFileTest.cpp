#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <fstream>

#include "platform/system/PrivateFile.h"
#include "tests/support/TempDirectory.h"

namespace fs = std::filesystem;
using veltrane::testing::fileMode;
using veltrane::testing::readFile;
using namespace veltrane::sys;

namespace {

std::vector<std::string> entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(directory)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Sets the process umask for one test and restores it.
struct Umask {
    explicit Umask(mode_t mask) : old(::umask(mask)) {}
    ~Umask() { ::umask(old); }
    mode_t old;
};

}  // namespace

TEST(PrivateFile, CreatesFolderAndParentsOwnerOnly) {
    veltrane::testing::TempDirectory temp;
    Umask mask(0);  // an owner-only result must not depend on the umask
    fs::path folder = temp.path() / "data" / "Connection";
    ASSERT_FALSE(makePrivateDirectory(folder));
    EXPECT_EQ(fileMode(folder), 0700u);
    EXPECT_FALSE(makePrivateDirectory(folder)) << "an existing folder is no error";
}

TEST(PrivateFile, WriteRestrictsAnExistingWideFolderAndFile) {
    veltrane::testing::TempDirectory temp;
    Umask mask(0);
    fs::path folder = temp.path() / "Connection";
    fs::create_directory(folder);
    ::chmod(folder.c_str(), 0777);
    std::ofstream(folder / "grants.json") << "old";
    ::chmod((folder / "grants.json").c_str(), 0666);

    ASSERT_FALSE(writePrivateFile(folder, "grants.json", "new"));
    EXPECT_EQ(fileMode(folder), 0700u);
    EXPECT_EQ(fileMode(folder / "grants.json"), 0600u);
    EXPECT_EQ(readFile(folder / "grants.json"), "new");
    EXPECT_EQ(entries(folder), std::vector<std::string>{"grants.json"}) << "no temporary file is left";
}

TEST(PrivateFile, ReplacesContentWhole) {
    veltrane::testing::TempDirectory temp;
    std::string big(200'000, 'x');
    ASSERT_FALSE(writePrivateFile(temp.path(), "f", big));
    ASSERT_FALSE(writePrivateFile(temp.path(), "f", "short"));
    EXPECT_EQ(readFile(temp.path() / "f"), "short");
    ASSERT_FALSE(writePrivateFile(temp.path(), "f", ""));
    EXPECT_EQ(readFile(temp.path() / "f"), "");
}

TEST(PrivateFile, RefusesASymbolicLinkInPlaceOfTheFolder) {
    veltrane::testing::TempDirectory temp;
    fs::create_directory(temp.path() / "elsewhere");
    ::chmod((temp.path() / "elsewhere").c_str(), 0755);
    fs::create_directory_symlink(temp.path() / "elsewhere", temp.path() / "Connection");

    EXPECT_EQ(writePrivateFile(temp.path() / "Connection", "f", "secret"), std::errc::not_a_directory);
    EXPECT_EQ(fileMode(temp.path() / "elsewhere"), 0755u) << "the link's target is not touched";
    EXPECT_TRUE(entries(temp.path() / "elsewhere").empty());
}

TEST(PrivateFile, FailureLeavesTheTargetAsItWas) {
    veltrane::testing::TempDirectory temp;
    // A regular file where a parent folder should be.
    std::ofstream(temp.path() / "blocker") << "x";
    EXPECT_TRUE(makePrivateDirectory(temp.path() / "blocker" / "Connection"));
    EXPECT_TRUE(writePrivateFile(temp.path() / "blocker" / "Connection", "f", "data"));

    // A folder where the file should be: the rename fails.
    fs::create_directory(temp.path() / "target");
    fs::create_directory(temp.path() / "target" / "f");
    std::ofstream(temp.path() / "target" / "f" / "inside") << "kept";
    EXPECT_TRUE(writePrivateFile(temp.path() / "target", "f", "data"));
    EXPECT_EQ(readFile(temp.path() / "target" / "f" / "inside"), "kept");
    EXPECT_EQ(entries(temp.path() / "target"), std::vector<std::string>{"f"}) << "the temporary file is removed";
}

TEST(PrivateFile, RemovesTemporariesOfKilledWritersOnly) {
    veltrane::testing::TempDirectory temp;
    const fs::path folder = temp.path() / "Connection";
    ASSERT_FALSE(makePrivateDirectory(folder));
    // A process id that is certainly gone: a child that has ended and been reaped.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const std::string gone = std::to_string(child);
    const std::string self = std::to_string(::getpid());
    const std::string parent = std::to_string(::getppid());
    const std::vector<std::string> kept{
        ".grants.json." + self + ".900.tmp",    // this process may be writing it
        ".grants.json." + parent + ".0.tmp",    // so may a live one
        ".other.json." + gone + ".0.tmp",       // another file's
        ".grants.json." + gone + ".x.tmp", std::string(".grants.json..0.tmp"), std::string("grants.json.tmp")};
    const std::string killed = ".grants.json." + gone + ".3.tmp";
    for (const std::string& name : kept) std::ofstream(folder / name) << "partial";
    std::ofstream(folder / killed) << "partial";

    ASSERT_FALSE(writePrivateFile(folder, "grants.json", "{}"));
    std::vector<std::string> left = kept;
    left.push_back("grants.json");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(entries(folder), left);
    EXPECT_EQ(readFile(folder / "grants.json"), "{}");
}
