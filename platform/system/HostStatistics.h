#pragma once
// The machine's load as the kernel shows it under /proc and /sys. The roots
// are parameters so tests can point them at fixture trees.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::sys {

// Processor time of all processors since boot, in clock ticks, wrapping at
// 2^32 like the counters a load figure is taken from. Waiting for I/O counts
// as idle; interrupts and time stolen by a hypervisor count as system.
struct ProcessorTicks {
    std::uint32_t user = 0;
    std::uint32_t system = 0;
    std::uint32_t idle = 0;
    std::uint32_t nice = 0;
    bool operator==(const ProcessorTicks&) const = default;
};

// Used is what programs hold: total less what the kernel could hand out
// without swapping (MemAvailable).
struct MemoryUsage {
    std::uint64_t usedBytes = 0;
    std::uint64_t totalBytes = 0;
    bool operator==(const MemoryUsage&) const = default;
};

// One battery that powers the machine. Capacities are in the battery's own
// unit (energy or charge), so only their ratio means anything.
struct PowerSource {
    std::string name;
    std::optional<bool> isCharging;
    std::optional<std::int64_t> currentCapacity;
    std::optional<std::int64_t> maxCapacity;
    bool operator==(const PowerSource&) const = default;
};

class HostStatistics {
public:
    explicit HostStatistics(std::string procRoot = "/proc", std::string sysRoot = "/sys");

    std::optional<ProcessorTicks> processorTicks() const;
    std::optional<MemoryUsage> memory() const;
    // The machine's batteries in name order; empty when it has none, absent
    // when the power-supply class cannot be read at all. Batteries of
    // attached devices (a mouse, a tablet pen) are not among them.
    std::optional<std::vector<PowerSource>> powerSources() const;
    // Seconds since boot.
    std::optional<double> uptime() const;

    // The parsers behind the reads, on the files' text.
    static std::optional<ProcessorTicks> parseProcessorTicks(std::string_view procStat);
    static std::optional<MemoryUsage> parseMemory(std::string_view meminfo);
    static std::optional<double> parseUptime(std::string_view procUptime);

private:
    std::string procRoot_;
    std::string sysRoot_;
};

}  // namespace veltrane::sys
