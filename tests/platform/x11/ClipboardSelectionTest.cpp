#include <gtest/gtest.h>

#include "platform/process/Shell.h"
#include "platform/x11/ClipboardSelection.h"
#include "tests/support/Eventually.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using x11::ClipboardSelection;

namespace {

// xclip with the test's display; its standard output.
std::string xclip(const std::string& shellInput, const std::string& options) {
    std::string command = shellInput.empty() ? "exec xclip " + options
                                             : shellInput + " | xclip " + options + " >/dev/null 2>&1";
    return process::Shell::run("/bin/sh", {"-c", command}, 30.0).stdout;
}

}  // namespace

class ClipboardSelectionTest : public ::testing::Test {
protected:
    void SetUp() override { startServer(); }

    void startServer() {
        display_.reset();
        std::string error;
        xvfb_ = veltrane::testing::XvfbServer::start(64, 64, error);
        ASSERT_TRUE(xvfb_) << error;
        display_.emplace("DISPLAY", xvfb_->display().c_str());
    }

    // Declared first so the clipboard goes before the server it talks to.
    std::unique_ptr<veltrane::testing::XvfbServer> xvfb_;
    std::optional<veltrane::testing::ScopedVariable> display_;
    ClipboardSelection clipboard_;
};

TEST_F(ClipboardSelectionTest, WrittenTextIsServedToOtherPrograms) {
    EXPECT_EQ(clipboard_.read(), std::nullopt) << "nobody owns the clipboard yet";
    ASSERT_TRUE(clipboard_.write("héllo"));
    EXPECT_EQ(xclip("", "-o -selection clipboard"), "héllo");
    // Latin-1 for old clients (shown here as UTF-8 again).
    EXPECT_EQ(process::Shell::run("/bin/sh", {"-c", "xclip -o -selection clipboard -t STRING | iconv -f LATIN1 -t UTF-8"},
                               30.0).stdout,
              "héllo");
    EXPECT_EQ(clipboard_.read(), "héllo");
    ASSERT_TRUE(clipboard_.write(""));
    EXPECT_EQ(clipboard_.read(), "");
}

TEST_F(ClipboardSelectionTest, ReadsOtherProgramsTextIncludingLatin1AndLargeTransfers) {
    xclip("printf hi", "-selection clipboard");
    EXPECT_TRUE(veltrane::testing::eventually([&] { return clipboard_.read() == "hi"; }));

    xclip("printf 'caf\\351'", "-selection clipboard -t STRING");
    EXPECT_TRUE(veltrane::testing::eventually([&] { return clipboard_.read() == "café"; }));

    // Well past one request: xclip hands it over in pieces.
    xclip("head -c 1500000 /dev/zero | tr '\\0' 'a'", "-selection clipboard");
    EXPECT_TRUE(veltrane::testing::eventually([&] {
        auto text = clipboard_.read();
        return text && text->size() == 1500000 && text->find_first_not_of('a') == std::string::npos;
    }));
}

TEST_F(ClipboardSelectionTest, AnotherOwnerTakesOver) {
    ASSERT_TRUE(clipboard_.write("ours"));
    xclip("printf theirs", "-selection clipboard");
    EXPECT_TRUE(veltrane::testing::eventually([&] { return clipboard_.read() == "theirs"; }));
    ASSERT_TRUE(clipboard_.write("ours again"));
    EXPECT_EQ(xclip("", "-o -selection clipboard"), "ours again");
}

TEST_F(ClipboardSelectionTest, SurvivesTheServerGoingAwayAndUsesTheNextOne) {
    ASSERT_TRUE(clipboard_.write("before"));
    xvfb_.reset();  // the server stops while our connection is open
    // Its display number is free now, and a test running beside this one may
    // take it: nothing of ours may connect there again.
    display_.reset();
    display_.emplace("DISPLAY", nullptr);
    EXPECT_EQ(clipboard_.read(), std::nullopt);
    EXPECT_FALSE(clipboard_.write("lost"));
    startServer();
    ASSERT_TRUE(clipboard_.write("after"));
    EXPECT_EQ(xclip("", "-o -selection clipboard"), "after");
}

TEST(ClipboardSelectionWithoutServer, ReadsNothingAndRefusesWrites) {
    veltrane::testing::ScopedVariable display("DISPLAY", nullptr);
    ClipboardSelection clipboard;
    EXPECT_EQ(clipboard.read(), std::nullopt);
    EXPECT_FALSE(clipboard.write("text"));
}
