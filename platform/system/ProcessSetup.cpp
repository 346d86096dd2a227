#include "platform/system/ProcessSetup.h"

#include <signal.h>

namespace veltrane::sys {

void ignoreSigpipe() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace veltrane::sys
