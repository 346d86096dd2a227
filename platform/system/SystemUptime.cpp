#include "platform/system/SystemUptime.h"

#include <ctime>

namespace veltrane::sys {

double systemUptimeSeconds() {
    timespec now{};
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) return 0;
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace veltrane::sys
