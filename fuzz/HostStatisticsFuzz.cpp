// The /proc parsers on arbitrary text: no crash, and what they accept is sane.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/system/HostStatistics.h"

using veltrane::sys::HostStatistics;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)HostStatistics::parseProcessorTicks(text);
    if (auto memory = HostStatistics::parseMemory(text); memory && memory->usedBytes > memory->totalBytes)
        std::abort();
    if (auto uptime = HostStatistics::parseUptime(text); uptime && !(*uptime >= 0)) std::abort();
    return 0;
}
