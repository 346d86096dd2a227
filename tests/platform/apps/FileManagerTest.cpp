#include <gtest/gtest.h>

#include "platform/apps/FileManager.h"
#include "platform/apps/Launcher.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/Eventually.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/RecorderDesktop.h"
#include "tests/support/ScopedEnvironment.h"

using namespace veltrane;
using apps::FileManager;
namespace fs = std::filesystem;

// The recorder is the desktop's handler for folders; a file manager service
// exists only where a test starts one on its private bus.
class FileManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new sys::TemporaryFolder(*sys::TemporaryFolder::create("file-manager-test-"));
        marker_ = veltrane::testing::RecorderDesktop::install(folder_->path()).marker;
    }
    static void TearDownTestSuite() { delete folder_; }

    void SetUp() override {
        fs::remove(marker_);
        received_ = folder_->path() / "Downloads" / "Veltrane Control Deck";
        fs::create_directories(received_);
        veltrane::testing::writeFile(received_ / "photo 1.jpg", "jpg");
    }

    static std::string uri(const fs::path& path) { return apps::Launcher::fileURI(path); }

    static inline sys::TemporaryFolder* folder_ = nullptr;
    static inline fs::path marker_;
    fs::path received_;
};

TEST_F(FileManagerTest, WithoutAFileManagerServiceTheFolderHandlerOpensTheFolder) {
    // GIO hands a local folder to its handler as a path.
    EXPECT_TRUE(FileManager::showFolder(received_));
    EXPECT_EQ(veltrane::testing::waitForLines(marker_), received_.string() + "\n");
    fs::remove(marker_);
    // A file cannot be selected: its folder is opened instead.
    EXPECT_TRUE(FileManager::showFile(received_ / "photo 1.jpg"));
    EXPECT_EQ(veltrane::testing::waitForLines(marker_), received_.string() + "\n");
}

TEST_F(FileManagerTest, TheFileManagerServiceShowsTheFileSelected) {
    std::string error;
    auto bus = veltrane::testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    veltrane::testing::ScopedVariable session("DBUS_SESSION_BUS_ADDRESS", bus->address().c_str());
    const fs::path log = folder_->path() / "file-manager.log";
    ASSERT_TRUE(bus->startMock({"--session", "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                "org.freedesktop.FileManager1"},
                               "org.freedesktop.FileManager1", log));
    for (const char* method : {"ShowItems", "ShowFolders"})
        ASSERT_TRUE(bus->send({"--dest=org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                               "org.freedesktop.DBus.Mock.AddMethod", "string:org.freedesktop.FileManager1",
                               std::string("string:") + method, "string:ass", "string:", "string:"}));

    EXPECT_TRUE(FileManager::showFile(received_ / "photo 1.jpg"));
    EXPECT_TRUE(veltrane::testing::eventually(
        [&] { return veltrane::testing::readFile(log).find("ShowItems") != std::string::npos; }));
    EXPECT_NE(veltrane::testing::readFile(log).find(uri(received_ / "photo 1.jpg")), std::string::npos)
        << veltrane::testing::readFile(log);
    EXPECT_TRUE(FileManager::showFolder(received_));
    EXPECT_TRUE(veltrane::testing::eventually(
        [&] { return veltrane::testing::readFile(log).find("ShowFolders") != std::string::npos; }));
    EXPECT_FALSE(fs::exists(marker_)) << "the folder handler was started as well";
}
