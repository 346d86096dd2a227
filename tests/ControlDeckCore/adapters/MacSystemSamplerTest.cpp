#include <gtest/gtest.h>

#include <map>

#include "ControlDeckCore/adapters/MacSystemSampler.h"
#include "tests/support/FixtureTree.h"

using namespace veltrane::deck;
using veltrane::sys::HostStatistics;
using veltrane::testing::FixtureTree;
using Clock = std::chrono::steady_clock;

namespace {

// A fixture machine: proc/ and sys/ under one folder, and a clock the test moves.
class Machine {
public:
    Machine() {
        stat(100, 100, 800);
        tree.write("proc/meminfo", "MemTotal: 1000 kB\nMemAvailable: 250 kB\n");
        tree.write("proc/uptime", "3600.25 100.00\n");
        tree.folder("sys/class/power_supply");
    }
    void stat(unsigned user, unsigned system, unsigned idle) {
        tree.write("proc/stat", "cpu " + std::to_string(user) + " 0 " + std::to_string(system) + " " +
                                    std::to_string(idle) + " 0 0 0 0 0 0\n");
    }
    MacSystemSampler sampler() {
        return MacSystemSampler(HostStatistics(tree.path("proc"), tree.path("sys")), [this] { return now; });
    }
    void after(double seconds) {
        now += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    FixtureTree tree;
    Clock::time_point now = Clock::time_point() + std::chrono::hours(1);
};

TEST(MacSystemSampler, BatteryMemoryAndUptimeOfTheMachine) {
    using Files = std::map<std::string, std::string>;
    struct Case {
        const char* name;
        Files files;
        std::optional<double> battery;
        bool charging;
    };
    const Case cases[] = {
        {"laptop on battery",
         {{"AC/type", "Mains"}, {"BAT0/type", "Battery"}, {"BAT0/status", "Discharging"},
          {"BAT0/energy_now", "30000"}, {"BAT0/energy_full", "40000"}},
         0.75, false},
        {"laptop charging",
         {{"AC/type", "Mains"}, {"BAT0/type", "Battery"}, {"BAT0/status", "Charging"}, {"BAT0/charge_now", "25"},
          {"BAT0/charge_full", "50"}},
         0.5, true},
        {"desktop without battery", {{"AC/type", "Mains"}}, std::nullopt, false},
        {"a battery with no full capacity is skipped",
         {{"BAT0/type", "Battery"}, {"BAT0/status", "Charging"}, {"BAT0/energy_now", "5"}, {"BAT0/energy_full", "0"},
          {"BAT1/type", "Battery"}, {"BAT1/status", "Full"}, {"BAT1/energy_now", "9"}, {"BAT1/energy_full", "10"}},
         0.9, false},
        {"above full is not clamped",
         {{"BAT0/type", "Battery"}, {"BAT0/energy_now", "105"}, {"BAT0/energy_full", "100"}}, 1.05, false},
        {"only a mouse's battery",
         {{"mouse/type", "Battery"}, {"mouse/scope", "Device"}, {"mouse/energy_now", "1"}, {"mouse/energy_full", "2"}},
         std::nullopt, false},
    };
    for (const auto& c : cases) {
        Machine machine;
        for (const auto& [file, text] : c.files) machine.tree.write("sys/class/power_supply/" + file, text + "\n");
        auto sample = machine.sampler().sample();
        EXPECT_EQ(sample.battery, c.battery) << c.name;
        EXPECT_EQ(sample.charging, c.charging) << c.name;
        EXPECT_DOUBLE_EQ(sample.memory, 0.75) << c.name;
        EXPECT_DOUBLE_EQ(sample.uptime, 3600.25) << c.name;
    }
}

TEST(MacSystemSampler, FailedReadsDegrade) {
    Machine machine;
    machine.tree.remove("proc/meminfo");
    machine.tree.remove("proc/uptime");
    machine.tree.remove("sys/class/power_supply");
    auto sample = machine.sampler().sample();
    EXPECT_EQ(sample.memory, 0.0);
    EXPECT_EQ(sample.uptime, 0.0);
    EXPECT_EQ(sample.battery, std::nullopt);
    EXPECT_FALSE(sample.charging);
}

TEST(MacSystemSampler, ProcessorIsReadAtMostEveryTwoSeconds) {
    Machine machine;
    auto sampler = machine.sampler();  // primed with 200 busy, 800 idle
    machine.stat(150, 100, 850);       // +50 busy, +50 idle
    EXPECT_DOUBLE_EQ(sampler.sample().cpu, 0.5) << "the first load covers the time since construction";

    machine.stat(150, 100, 950);  // +100 idle
    machine.after(1.5);
    EXPECT_DOUBLE_EQ(sampler.sample().cpu, 0.5) << "1.5 s later the last load is repeated";
    machine.after(1.0);
    EXPECT_DOUBLE_EQ(sampler.sample().cpu, 0.0) << "2.5 s after the first a new load is read";

    machine.after(2.0);
    machine.stat(200, 150, 950);  // +100 busy
    EXPECT_DOUBLE_EQ(sampler.sample().cpu, 1.0);
    machine.after(2.0);
    EXPECT_DOUBLE_EQ(sampler.sample().cpu, 1.0) << "counters that did not move repeat the last load";
}

TEST(MacSystemSampler, AFailedProcessorReadKeepsLoadAndCounters) {
    Machine machine;
    auto sampler = machine.sampler();
    machine.stat(300, 100, 800);  // +200 busy
    EXPECT_DOUBLE_EQ(sampler.sample().cpu, 1.0);
    machine.tree.remove("proc/stat");
    machine.after(3);
    EXPECT_DOUBLE_EQ(sampler.sample().cpu, 1.0);
    machine.stat(300, 100, 1000);  // +200 idle since the last good reading
    machine.after(3);
    EXPECT_DOUBLE_EQ(sampler.sample().cpu, 0.0);
}

TEST(MacSystemSampler, CountersWrapAt32Bits) {
    Machine machine;
    machine.stat(4294967290u, 0, 0);
    auto sampler = machine.sampler();
    machine.tree.write("proc/stat", "cpu 4294967300 0 0 10 0 0 0 0 0 0\n");  // user wrapped: +10 busy, +10 idle
    EXPECT_DOUBLE_EQ(sampler.sample().cpu, 0.5);
}

TEST(MacSystemSampler, WithoutCountersAtConstructionTheFirstLoadIsSinceBoot) {
    Machine machine;
    machine.tree.remove("proc/stat");
    auto sampler = machine.sampler();
    machine.stat(30, 10, 60);
    EXPECT_DOUBLE_EQ(sampler.sample().cpu, 0.4);
}

TEST(MacSystemSampler, TheHostAnswers) {
    MacSystemSampler sampler;
    auto sample = sampler.sample();
    EXPECT_GE(sample.cpu, 0.0);
    EXPECT_LE(sample.cpu, 1.0);
    EXPECT_GT(sample.memory, 0.0);
    EXPECT_LE(sample.memory, 1.0);
    EXPECT_GT(sample.uptime, 0.0);
}

}  // namespace
