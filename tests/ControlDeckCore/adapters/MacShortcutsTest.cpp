#include <gtest/gtest.h>

#include "ControlDeckCore/adapters/MacShortcuts.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/Files.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using namespace veltrane::deck;
using veltrane::testing::writeFile;
namespace fs = std::filesystem;

class MacShortcutsTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_.emplace(*sys::TemporaryFolder::create("shortcuts-test-"));
        config_.emplace("XDG_CONFIG_HOME", (folder_->path() / "config").c_str());
        marker_ = folder_->path() / "ran";
        shortcut("Tea Time", "echo tea >> '" + marker_.string() + "'");
        shortcut(" spaced ", "echo spaced >> '" + marker_.string() + "'");
        shortcut("Broken", "exit 3");
        shortcut("slow", "exec sleep 30");
        // Right outside the folder: what "../x" would reach.
        writeFile(folder_->path() / "config" / "veltrane" / "x", "#!/bin/sh\necho escaped >> '" + marker_.string() + "'\n",
                  true);
    }

    void shortcut(const std::string& name, const std::string& body) {
        writeFile(*MacShortcuts::folder() / name, "#!/bin/sh\n" + body + "\n", true);
    }

    std::string ran() const { return fs::exists(marker_) ? veltrane::testing::readFile(marker_) : ""; }

    std::optional<sys::TemporaryFolder> folder_;
    std::optional<veltrane::testing::ScopedVariable> config_;
    fs::path marker_;
};

TEST_F(MacShortcutsTest, RunsTheExecutableNamedInTheFolder) {
    EXPECT_EQ(MacShortcuts::folder(), folder_->path() / "config" / "veltrane" / "shortcuts");
    MacShortcuts shortcuts;
    shortcuts.run("Tea Time");
    shortcuts.run(" spaced ");
    EXPECT_EQ(ran(), "tea\nspaced\n");
}

TEST_F(MacShortcutsTest, FailuresMissingAndLateShortcutsCouldNotBeRun) {
    MacShortcuts shortcuts(1.0);  // a short time-out instead of 30 s
    for (const char* name : {"Broken", "Missing", "slow", "tea time"}) {
        try {
            shortcuts.run(name);
            ADD_FAILURE() << "ran " << name;
        } catch (const DeckError& e) {
            EXPECT_EQ(e.status(), 422) << name;
            EXPECT_EQ(e.message(), "Shortcut \u201C" + std::string(name) + "\u201D could not be run.");
        }
    }
    EXPECT_EQ(ran(), "");
}

TEST_F(MacShortcutsTest, NamesOutsideTheFolderAreRefused) {
    MacShortcuts shortcuts;
    const std::vector<std::string> names{"../x", "..", ".", "", "a/b", "/bin/true", std::string("x\0y", 3)};
    for (const auto& name : names) {
        try {
            shortcuts.run(name);
            ADD_FAILURE() << "ran " << name;
        } catch (const DeckError& e) {
            EXPECT_EQ(e, DeckError::malformedPayload()) << name;
            EXPECT_EQ(e.status(), 400);
        }
    }
    EXPECT_EQ(ran(), "");
}
