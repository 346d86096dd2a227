#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "helpers/ostrevel/Ostrevel.h"
#include "tests/helpers/ostrevel/FakeDisplaySystem.h"

using namespace veltrane;
using ostrevel::Command;
using ostrevel::CommandKind;
using ostrevel::Orientation;
using veltrane::testing::FakeDisplaySystem;

namespace {

struct Harness {
    FakeDisplaySystem system;
    std::string out;
    std::string err;
    std::vector<std::chrono::milliseconds> sleeps;
    ostrevel::Ostrevel helper{{system, [this](std::string_view t) { out += t; }, [this](std::string_view t) { err += t; },
                               [this](std::chrono::milliseconds d) { sleeps.push_back(d); }}};

    // Output written since the last call.
    std::string takeOut() { return std::exchange(out, {}); }
    std::string takeErr() { return std::exchange(err, {}); }
};

Command mode(std::size_t w, std::size_t h, std::size_t s) { return {CommandKind::mode, w, h, s}; }

}  // namespace

TEST(OstrevelArguments, AcceptsOnlyOneOrientationOption) {
    using Args = std::vector<std::string_view>;
    EXPECT_EQ(ostrevel::parseArguments(Args{}), Orientation::landscape);
    EXPECT_EQ(ostrevel::parseArguments(Args{"--landscape"}), Orientation::landscape);
    EXPECT_EQ(ostrevel::parseArguments(Args{"--portrait"}), Orientation::portrait);
    for (const Args& bad : {Args{"--bogus"}, Args{"landscape"}, Args{"--landscape", "--portrait"},
                            Args{"--portrait", "--portrait"}, Args{""}, Args{"--Portrait"}})
        EXPECT_FALSE(ostrevel::parseArguments(bad)) << (bad.empty() ? "" : bad[0]);
}

TEST(Ostrevel, StartsWithTheFirstModeThenReady) {
    struct Case {
        Orientation orientation;
        const char* lines;
    };
    for (const Case& c : {Case{Orientation::landscape, "ORIENTATION landscape 77 2000 1200 2000 1200\nREADY 77\n"},
                          Case{Orientation::portrait, "ORIENTATION portrait 77 1200 2000 1200 2000\nREADY 77\n"}}) {
        Harness h;
        EXPECT_EQ(h.helper.start(c.orientation), ostrevel::kExitSuccess);
        EXPECT_EQ(h.takeOut(), c.lines);
        EXPECT_EQ(h.err, "");
        // The same settings twice, each followed by its pause; confirmed on the first poll.
        ASSERT_EQ(h.system.applied.size(), 2u);
        EXPECT_EQ(h.system.applied[0].width, h.system.applied[1].width);
        EXPECT_FALSE(h.system.applied[0].hiDPI);
        EXPECT_EQ(h.system.applied[0].refreshRate, 60.0);
        EXPECT_EQ(h.sleeps, (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(100),
                                                                      std::chrono::milliseconds(100)}));
        EXPECT_EQ(h.system.descriptor.name, "Veltrane Virtual Screen");
        EXPECT_EQ(h.system.descriptor.maxPixelsWide, 3840u);
        EXPECT_EQ(h.system.descriptor.serialNumber, 0x4F465331u);
    }
}

TEST(Ostrevel, FollowsCommandsWithTheRememberedEdgesAndScale) {
    Harness h;
    ASSERT_EQ(h.helper.start(Orientation::portrait), ostrevel::kExitSuccess);
    h.takeOut();
    struct Step {
        Command command;
        const char* line;
    };
    const Step steps[] = {
        {{CommandKind::portrait}, "ORIENTATION portrait 77 1200 2000 1200 2000\n"},
        {mode(2560, 1600, 2), "ORIENTATION landscape 77 1280 800 2560 1600\n"},
        {{CommandKind::portrait}, "ORIENTATION portrait 77 800 1280 1600 2560\n"},
        {{CommandKind::landscape}, "ORIENTATION landscape 77 1280 800 2560 1600\n"},
        {mode(640, 640, 1), "ORIENTATION landscape 77 640 640 640 640\n"},
        {mode(1600, 2560, 1), "ORIENTATION portrait 77 1600 2560 1600 2560\n"},
        {{CommandKind::landscape}, "ORIENTATION landscape 77 2560 1600 2560 1600\n"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.line);
        EXPECT_TRUE(h.helper.perform(step.command));
        EXPECT_EQ(h.takeOut(), step.line);
        EXPECT_EQ(h.takeErr(), "");
    }
    EXPECT_TRUE(h.system.applied.back().width == 2560 && !h.system.applied.back().hiDPI);
}

TEST(Ostrevel, RefusedCommandsChangeNothing) {
    Harness h;
    ASSERT_EQ(h.helper.start(Orientation::landscape), ostrevel::kExitSuccess);
    h.takeOut();
    const std::size_t before = h.system.applied.size();
    EXPECT_TRUE(h.helper.perform({CommandKind::invalidMode}));
    EXPECT_EQ(h.takeErr(), "Mode must contain dimensions from 640 to 3840 and scale 1 or 2.\n");
    EXPECT_TRUE(h.helper.perform({CommandKind::unknown}));
    EXPECT_EQ(h.takeErr(), "Expected mode WIDTH HEIGHT SCALE, portrait, landscape, or quit.\n");
    EXPECT_EQ(h.system.applied.size(), before);
    EXPECT_EQ(h.out, "");
    EXPECT_FALSE(h.helper.perform({CommandKind::quit}));
}

TEST(Ostrevel, AModeNeverConfirmedFailsAfterAHundredPolls) {
    Harness h;
    h.system.confirms = false;
    EXPECT_EQ(h.helper.start(Orientation::landscape), ostrevel::kExitFirstMode);
    EXPECT_EQ(h.takeErr(), "Virtual display did not change to 2000x1200.\n");
    EXPECT_EQ(h.out, "") << "no ORIENTATION and no READY";
    // Two settling pauses, then 99 pauses between 100 polls.
    ASSERT_EQ(h.sleeps.size(), 101u);
    EXPECT_EQ(h.sleeps.back(), std::chrono::milliseconds(50));

    // Later in the loop the failure is only reported and the loop goes on.
    h.system.confirms = true;
    EXPECT_TRUE(h.helper.perform({CommandKind::landscape}));
    EXPECT_EQ(h.takeOut(), "ORIENTATION landscape 77 2000 1200 2000 1200\n");
    h.system.confirms = false;
    EXPECT_TRUE(h.helper.perform(mode(2560, 1600, 1)));
    EXPECT_EQ(h.takeErr(), "Virtual display did not change to 2560x1600.\n");
    EXPECT_EQ(h.out, "");
}

TEST(Ostrevel, AFailedApplicationKeepsTheNewEdges) {
    Harness h;
    ASSERT_EQ(h.helper.start(Orientation::landscape), ostrevel::kExitSuccess);
    h.takeOut();
    h.system.applies = false;
    EXPECT_TRUE(h.helper.perform(mode(2560, 1600, 2)));
    EXPECT_EQ(h.takeErr(), "Could not apply 2560x1600 virtual display settings.\n");
    EXPECT_EQ(h.out, "");
    h.system.applies = true;
    EXPECT_TRUE(h.helper.perform({CommandKind::portrait}));
    EXPECT_EQ(h.takeOut(), "ORIENTATION portrait 77 800 1280 1600 2560\n");
}

TEST(Ostrevel, CreationFailureAndStartFailureStatuses) {
    Harness h;
    h.system.creates = false;
    EXPECT_EQ(h.helper.start(Orientation::landscape), ostrevel::kExitNoDisplay);
    EXPECT_EQ(h.err, "Could not create the virtual display.\n");
    EXPECT_TRUE(h.system.applied.empty());

    Harness failing;
    failing.system.applies = false;
    EXPECT_EQ(failing.helper.start(Orientation::landscape), ostrevel::kExitFirstMode);
    EXPECT_EQ(failing.err, "Could not apply 2000x1200 virtual display settings.\n");
    EXPECT_EQ(failing.system.applied.size(), 1u) << "the second application is skipped";
}

TEST(Ostrevel, PutsTheMainDisplayBack) {
    Harness h;
    h.system.movesMain = true;
    ASSERT_EQ(h.helper.start(Orientation::landscape), ostrevel::kExitSuccess);
    EXPECT_EQ(h.system.configuration, (std::vector<std::string>{"begin", "configure 1920x1080", "complete"}));
    EXPECT_EQ(h.system.mainMode.width, 1920u);
    EXPECT_EQ(h.err, "");

    // Unmoved: no configuration at all.
    Harness still;
    ASSERT_EQ(still.helper.start(Orientation::landscape), ostrevel::kExitSuccess);
    EXPECT_TRUE(still.system.configuration.empty());
}

TEST(Ostrevel, AFailedRestoreWritesOneMessageAndChangesNothing) {
    struct Case {
        const char* name;
        bool FakeDisplaySystem::*failing;
        std::vector<std::string> steps;
        const char* message;
    };
    const Case cases[] = {
        {"begin", &FakeDisplaySystem::begins, {"begin"}, "Could not preserve the main display mode.\n"},
        {"configure", &FakeDisplaySystem::configures, {"begin", "configure 1920x1080", "cancel"},
         "Could not restore the main display mode.\n"},
        {"complete", &FakeDisplaySystem::completes, {"begin", "configure 1920x1080", "complete"},
         "Could not restore the main display mode.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.system.movesMain = true;
        h.system.*c.failing = false;
        // A failed restore does not fail the change.
        EXPECT_EQ(h.helper.start(Orientation::landscape), ostrevel::kExitSuccess);
        EXPECT_EQ(h.system.configuration, c.steps);
        EXPECT_EQ(h.err, c.message);
        EXPECT_EQ(h.system.mainMode.width, 1024u) << "nothing configured";
    }
}

TEST(Ostrevel, RunEndsOnQuitOrEndOfInputAndReleasesTheDisplay) {
    struct Case {
        const char* input;
        const char* out;
    };
    const Case cases[] = {
        {"", "ORIENTATION landscape 77 2000 1200 2000 1200\nREADY 77\n"},
        {"portrait\nquit\nlandscape\n",
         "ORIENTATION landscape 77 2000 1200 2000 1200\nREADY 77\nORIENTATION portrait 77 1200 2000 1200 2000\n"},
        // A last line without its newline still counts.
        {"mode 800 640 1",
         "ORIENTATION landscape 77 2000 1200 2000 1200\nREADY 77\nORIENTATION landscape 77 800 640 800 640\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const std::string input = c.input;
        ASSERT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        ::close(fds[1]);
        Harness h;
        EXPECT_EQ(h.helper.run(Orientation::landscape, fds[0]), ostrevel::kExitSuccess);
        ::close(fds[0]);
        EXPECT_EQ(h.out, c.out);
        EXPECT_EQ(h.err, "");
        EXPECT_EQ(h.system.releases, 1);
    }

    Harness failing;
    failing.system.confirms = false;
    EXPECT_EQ(failing.helper.run(Orientation::landscape, -1), ostrevel::kExitFirstMode);
    EXPECT_EQ(failing.system.releases, 1) << "a display that never took its first mode goes too";
}

TEST(Ostrevel, TheTerminationHandlerOnlyReports) {
    Harness h;
    ASSERT_EQ(h.helper.start(Orientation::landscape), ostrevel::kExitSuccess);
    ASSERT_TRUE(h.system.descriptor.terminationHandler);
    h.system.descriptor.terminationHandler(77);
    EXPECT_EQ(h.takeErr(), "Virtual display 77 terminated.\n");
    EXPECT_EQ(h.system.releases, 0);
}
