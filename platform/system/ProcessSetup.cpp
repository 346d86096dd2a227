#include "platform/system/ProcessSetup.h"

#include <malloc.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>

namespace veltrane::sys {

void keepFreedHeapMemory() { mallopt(M_TRIM_THRESHOLD, 32 << 20); }

void ignoreSigpipe() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
}

std::optional<std::size_t> descriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::size_t>(limit.rlim_cur);
}

std::optional<std::size_t> raiseDescriptorLimit(std::size_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::nullopt;
    const auto target = static_cast<rlim_t>(wanted);
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= target) return descriptorLimit();
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? target : std::min(target, limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    return descriptorLimit();
}

}  // namespace veltrane::sys
