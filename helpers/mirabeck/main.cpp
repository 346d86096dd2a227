// mirabeck: what the computer is playing, as JSON lines on standard output.
#include <unistd.h>

#include <string_view>
#include <vector>

#include "helpers/mirabeck/MirabeckMain.h"
#include "platform/system/ProcessSetup.h"

int main(int argc, char** argv) {
    veltrane::sys::ignoreSigpipe();
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    return veltrane::mirabeck::mirabeckMain(arguments, STDOUT_FILENO);
}
