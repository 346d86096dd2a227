#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "platform/system/HostStatistics.h"
#include "tests/support/FixtureTree.h"

using veltrane::sys::HostStatistics;
using veltrane::sys::MemoryUsage;
using veltrane::sys::PowerSource;
using veltrane::sys::ProcessorTicks;
using veltrane::testing::FixtureTree;

namespace {

TEST(HostStatistics, ProcessorTicksFoldLinuxClassesIntoFour) {
    struct Case {
        const char* name;
        const char* text;
        std::optional<ProcessorTicks> expected;
    };
    const Case cases[] = {
        // user nice system idle iowait irq softirq steal guest guest_nice
        {"all ten columns", "cpu  100 20 300 4000 50 6 7 8 9 10\ncpu0 1 1 1 1 1 1 1 1 1 1\n",
         ProcessorTicks{.user = 100, .system = 300 + 6 + 7 + 8, .idle = 4000 + 50, .nice = 20}},
        {"old kernel with four", "cpu 1 2 3 4\n", ProcessorTicks{.user = 1, .system = 3, .idle = 4, .nice = 2}},
        {"aggregate after other lines", "intr 5\ncpu 1 0 0 9\n", ProcessorTicks{.user = 1, .system = 0, .idle = 9, .nice = 0}},
        {"counters wrap at 32 bits", "cpu 4294967297 0 0 4294967296\n",
         ProcessorTicks{.user = 1, .system = 0, .idle = 0, .nice = 0}},
        {"per-processor lines only", "cpu0 1 2 3 4\n", std::nullopt},
        {"too few columns", "cpu 1 2 3\n", std::nullopt},
        {"not a number", "cpu 1 x 3 4\n", std::nullopt},
        {"negative", "cpu 1 -2 3 4\n", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(HostStatistics::parseProcessorTicks(c.text), c.expected) << c.name;
}

TEST(HostStatistics, MemoryUsedIsTotalLessAvailable) {
    EXPECT_EQ(HostStatistics::parseMemory("MemTotal:       16000 kB\nMemFree:  1000 kB\nMemAvailable:   4000 kB\n"),
              (MemoryUsage{.usedBytes = 12000 * 1024, .totalBytes = 16000 * 1024}));
    // More available than total (never from a sane kernel) is no memory used.
    EXPECT_EQ(HostStatistics::parseMemory("MemAvailable: 9 kB\nMemTotal: 8 kB\n"),
              (MemoryUsage{.usedBytes = 0, .totalBytes = 8 * 1024}));
    EXPECT_FALSE(HostStatistics::parseMemory("MemTotal: 16000 kB\nMemFree: 1000 kB\n"));
    EXPECT_FALSE(HostStatistics::parseMemory("MemTotal: lots kB\nMemAvailable: 4000 kB\n"));
    EXPECT_FALSE(HostStatistics::parseMemory(""));
}

TEST(HostStatistics, UptimeIsTheFirstFigure) {
    EXPECT_DOUBLE_EQ(HostStatistics::parseUptime("12345.67 98765.43\n").value(), 12345.67);
    EXPECT_FALSE(HostStatistics::parseUptime(""));
    EXPECT_FALSE(HostStatistics::parseUptime("soon 1.0\n"));
    EXPECT_FALSE(HostStatistics::parseUptime("-4.0 1.0\n"));
}

TEST(HostStatistics, ReadsTheFilesUnderTheRoots) {
    FixtureTree proc;
    proc.write("stat", "cpu 10 1 5 80 4 0 0 0 0 0\n");
    proc.write("meminfo", "MemTotal: 100 kB\nMemAvailable: 25 kB\n");
    proc.write("uptime", "42.5 10.0\n");
    HostStatistics stats(proc.root(), proc.path("sys"));
    EXPECT_EQ(stats.processorTicks(), (ProcessorTicks{.user = 10, .system = 5, .idle = 84, .nice = 1}));
    EXPECT_EQ(stats.memory(), (MemoryUsage{.usedBytes = 75 * 1024, .totalBytes = 100 * 1024}));
    EXPECT_DOUBLE_EQ(stats.uptime().value(), 42.5);
    EXPECT_FALSE(stats.powerSources()) << "no power-supply class at all";

    HostStatistics missing(proc.path("nothing"), proc.path("nothing"));
    EXPECT_FALSE(missing.processorTicks());
    EXPECT_FALSE(missing.memory());
    EXPECT_FALSE(missing.uptime());
}

TEST(HostStatistics, PowerSourcesAreTheMachinesBatteries) {
    using Files = std::map<std::string, std::string>;
    struct Case {
        const char* name;
        Files files;  // under class/power_supply
        std::vector<PowerSource> expected;
    };
    auto battery = [](std::string name, std::optional<bool> charging, std::optional<std::int64_t> now,
                      std::optional<std::int64_t> full) {
        PowerSource s;
        s.name = std::move(name);
        s.isCharging = charging;
        s.currentCapacity = now;
        s.maxCapacity = full;
        return s;
    };
    const Case cases[] = {
        {"laptop on battery",
         {{"AC/type", "Mains\n"}, {"AC/online", "0\n"}, {"BAT0/type", "Battery\n"}, {"BAT0/status", "Discharging\n"},
          {"BAT0/energy_now", "30000000\n"}, {"BAT0/energy_full", "40000000\n"}},
         {battery("BAT0", false, 30000000, 40000000)}},
        {"laptop charging, charge figures",
         {{"AC/type", "Mains\n"}, {"BAT1/type", "Battery\n"}, {"BAT1/status", "Charging\n"},
          {"BAT1/charge_now", "2500000\n"}, {"BAT1/charge_full", "5000000\n"}},
         {battery("BAT1", true, 2500000, 5000000)}},
        {"desktop without battery", {{"AC/type", "Mains\n"}}, {}},
        {"a mouse's battery is not the machine's",
         {{"hidpp_battery_0/type", "Battery\n"}, {"hidpp_battery_0/scope", "Device\n"},
          {"hidpp_battery_0/status", "Discharging\n"}, {"hidpp_battery_0/energy_now", "5\n"},
          {"hidpp_battery_0/energy_full", "10\n"}},
         {}},
        {"two batteries in name order, one without figures",
         {{"BAT1/type", "Battery\n"}, {"BAT1/energy_now", "1\n"}, {"BAT1/energy_full", "2\n"},
          {"BAT0/type", "Battery\n"}, {"BAT0/scope", "System\n"}},
         {battery("BAT0", std::nullopt, std::nullopt, std::nullopt), battery("BAT1", std::nullopt, 1, 2)}},
        {"unreadable figure", {{"BAT0/type", "Battery\n"}, {"BAT0/energy_now", "n/a\n"}, {"BAT0/energy_full", "9\n"}},
         {battery("BAT0", std::nullopt, std::nullopt, std::nullopt)}},
    };
    for (const auto& c : cases) {
        FixtureTree sys;
        sys.folder("class/power_supply");
        for (const auto& [file, text] : c.files) sys.write("class/power_supply/" + file, text);
        HostStatistics stats(sys.path("proc"), sys.root());
        EXPECT_EQ(stats.powerSources(), c.expected) << c.name;
    }
}

TEST(HostStatistics, ThisMachineAnswers) {
    HostStatistics stats;
    auto first = stats.processorTicks();
    ASSERT_TRUE(first);
    auto memory = stats.memory();
    ASSERT_TRUE(memory);
    EXPECT_GT(memory->totalBytes, 0u);
    EXPECT_LE(memory->usedBytes, memory->totalBytes);
    ASSERT_TRUE(stats.uptime());
    EXPECT_GT(*stats.uptime(), 0.0);
}

}  // namespace
