#pragma once

namespace veltrane::sys {

// Seconds since the system booted, suspended time included; 0 when the
// clock cannot be read.
double systemUptimeSeconds();

}  // namespace veltrane::sys
