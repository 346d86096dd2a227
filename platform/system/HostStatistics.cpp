#include "platform/system/HostStatistics.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>

namespace veltrane::sys {

namespace {

namespace fs = std::filesystem;

// Kernel files here are a few kilobytes; anything far larger is not one.
constexpr std::size_t kMaxFileBytes = 1 << 20;

// Kernel files report no size, so they are read until their end.
std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text;
    char chunk[4096];
    while (text.size() < kMaxFileBytes && in.read(chunk, sizeof chunk).gcount() > 0)
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (in.bad()) return std::nullopt;
    return text;
}

std::string_view trimmed(std::string_view text) {
    const char* blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

template <class T>
std::optional<T> number(std::string_view text) {
    text = trimmed(text);
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Splits on runs of blanks.
std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        auto start = line.find_first_not_of(" \t", at);
        if (start == std::string_view::npos) break;
        auto end = line.find_first_of(" \t", start);
        if (end == std::string_view::npos) end = line.size();
        out.push_back(line.substr(start, end - start));
        at = end;
    }
    return out;
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        auto end = text.find('\n');
        out.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return out;
}

std::optional<std::string> attribute(const fs::path& folder, const char* name) {
    auto text = readFile(folder / name);
    if (!text) return std::nullopt;
    return std::string(trimmed(*text));
}

std::optional<std::int64_t> numericAttribute(const fs::path& folder, const char* name) {
    auto text = attribute(folder, name);
    if (!text) return std::nullopt;
    return number<std::int64_t>(*text);
}

}  // namespace

HostStatistics::HostStatistics(std::string procRoot, std::string sysRoot)
    : procRoot_(std::move(procRoot)), sysRoot_(std::move(sysRoot)) {}

std::optional<ProcessorTicks> HostStatistics::parseProcessorTicks(std::string_view procStat) {
    for (auto line : lines(procStat)) {
        auto f = fields(line);
        if (f.empty() || f[0] != "cpu") continue;
        // user nice system idle [iowait irq softirq steal guest guest_nice];
        // guest time is already part of user time.
        if (f.size() < 5) return std::nullopt;
        std::uint64_t v[8] = {};
        for (std::size_t i = 0; i < 8 && i + 1 < f.size(); ++i) {
            auto value = number<std::uint64_t>(f[i + 1]);
            if (!value) return std::nullopt;
            v[i] = *value;
        }
        auto wrap = [](std::uint64_t x) { return static_cast<std::uint32_t>(x); };
        return ProcessorTicks{.user = wrap(v[0]),
                              .system = wrap(v[2] + v[5] + v[6] + v[7]),
                              .idle = wrap(v[3] + v[4]),
                              .nice = wrap(v[1])};
    }
    return std::nullopt;
}

std::optional<MemoryUsage> HostStatistics::parseMemory(std::string_view meminfo) {
    std::optional<std::uint64_t> total, available;
    for (auto line : lines(meminfo)) {
        auto f = fields(line);
        if (f.size() < 2) continue;
        // Values are in kibibytes ("MemTotal:  16302452 kB").
        auto kib = number<std::uint64_t>(f[1]);
        if (f[0] == "MemTotal:") total = kib;
        else if (f[0] == "MemAvailable:") available = kib;
    }
    if (!total || !available) return std::nullopt;
    std::uint64_t used = *total > *available ? *total - *available : 0;
    return MemoryUsage{.usedBytes = used * 1024, .totalBytes = *total * 1024};
}

std::optional<double> HostStatistics::parseUptime(std::string_view procUptime) {
    auto all = lines(procUptime);
    if (all.empty()) return std::nullopt;
    auto f = fields(all.front());
    if (f.empty()) return std::nullopt;
    auto seconds = number<double>(f[0]);
    if (!seconds || *seconds < 0) return std::nullopt;
    return seconds;
}

std::optional<ProcessorTicks> HostStatistics::processorTicks() const {
    auto text = readFile(fs::path(procRoot_) / "stat");
    return text ? parseProcessorTicks(*text) : std::nullopt;
}

std::optional<MemoryUsage> HostStatistics::memory() const {
    auto text = readFile(fs::path(procRoot_) / "meminfo");
    return text ? parseMemory(*text) : std::nullopt;
}

std::optional<double> HostStatistics::uptime() const {
    auto text = readFile(fs::path(procRoot_) / "uptime");
    return text ? parseUptime(*text) : std::nullopt;
}

std::optional<std::vector<PowerSource>> HostStatistics::powerSources() const {
    fs::path root = fs::path(sysRoot_) / "class" / "power_supply";
    std::error_code error;
    fs::directory_iterator entries(root, error);
    if (error) return std::nullopt;
    std::vector<fs::path> folders;
    for (const auto& entry : entries) folders.push_back(entry.path());
    std::sort(folders.begin(), folders.end());

    std::vector<PowerSource> sources;
    for (const auto& folder : folders) {
        if (attribute(folder, "type") != "Battery") continue;
        if (attribute(folder, "scope") == "Device") continue;
        PowerSource source;
        source.name = folder.filename().string();
        if (auto status = attribute(folder, "status")) source.isCharging = *status == "Charging";
        // Batteries report energy (µWh) or charge (µAh), never a mix.
        if (auto now = numericAttribute(folder, "energy_now")) {
            source.currentCapacity = now;
            source.maxCapacity = numericAttribute(folder, "energy_full");
        } else if (auto charge = numericAttribute(folder, "charge_now")) {
            source.currentCapacity = charge;
            source.maxCapacity = numericAttribute(folder, "charge_full");
        }
        sources.push_back(std::move(source));
    }
    return sources;
}

}  // namespace veltrane::sys
