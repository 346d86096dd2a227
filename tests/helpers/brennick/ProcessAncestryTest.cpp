#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "helpers/brennick/ProcessAncestry.h"
#include "tests/support/TempDirectory.h"

using veltrane::brennick::parentFromStat;
using veltrane::brennick::ProcessAncestry;

TEST(BrennickProcessAncestry, ReadsTheParentAfterTheLastParenthesis) {
    struct Case {
        const char* name;
        std::string stat;
        std::optional<pid_t> parent;
    };
    const Case cases[] = {
        {"plain", "42 (ffplay) S 17 42 42 0 -1", 17},
        {"name holding ') '", "42 (a) S 99 (b) R 17 42 0", 17},
        {"name with spaces", "42 (Web Content) S 5 1", 5},
        {"parent 0", "1 (init) S 0 1 1", 0},
        {"line end after parent", "42 (x) S 17\n", 17},
        {"no parenthesis", "42 x S 17", std::nullopt},
        {"nothing after the name", "42 (x)", std::nullopt},
        {"no parent digits", "42 (x) S -3 1", std::nullopt},
        {"state missing", "42 (x)  17 1", std::nullopt},
        {"parent too large", "42 (x) S 99999999999 1", std::nullopt},
        {"junk in parent", "42 (x) S 17a 1", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parentFromStat(c.stat), c.parent);
    }
}

TEST(BrennickProcessAncestry, WalksUpAFakeProcTree) {
    veltrane::testing::TempDirectory proc;
    auto add = [&](pid_t pid, const std::string& name, pid_t parent) {
        std::filesystem::create_directories(proc.path() / std::to_string(pid));
        std::ofstream(proc.path() / std::to_string(pid) / "stat")
            << pid << " (" << name << ") S " << parent << " 1 1 0 -1 4194560\n";
    };
    add(100, "ffplay", 1);                // owns a window
    add(200, "sh", 100);
    add(300, "paplay ) S 100", 200);      // grandchild, with a name that mimics fields
    add(400, "loner", 1);
    add(500, "orphan", 600);              // parent unreadable
    add(700, "cycle-a", 800);
    add(800, "cycle-b", 700);
    ProcessAncestry ancestry(proc.path().string());
    const std::set<pid_t> owners{100};
    struct Case {
        pid_t pid;
        bool belongs;
    };
    for (auto [pid, belongs] : {Case{100, true}, Case{200, true}, Case{300, true}, Case{400, false}, Case{500, false},
                                Case{700, false}, Case{999, false}}) {
        SCOPED_TRACE(pid);
        EXPECT_EQ(ancestry.belongsTo(pid, owners), belongs);
    }
    EXPECT_TRUE(ancestry.belongsTo(500, {500}));
    EXPECT_TRUE(ancestry.belongsTo(800, {700}));
    EXPECT_TRUE(ancestry.belongsTo(1, {1}));
}
