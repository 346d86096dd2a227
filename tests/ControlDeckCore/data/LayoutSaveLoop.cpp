// Test peer: saves the two crash-test layouts into the data directory given
// as its argument, alternately and forever, and says "saved" after the
// first. The test kills it at random moments.

#include <cstdio>

#include "ControlDeckCore/data/FileStore.h"
#include "platform/system/ProcessSetup.h"
#include "tests/ControlDeckCore/data/CrashTestLayouts.h"

int main(int argc, char** argv) {
    veltrane::sys::ignoreSigpipe();
    if (argc != 2) {
        std::fprintf(stderr, "usage: layout_save_loop <data directory>\n");
        return 2;
    }
    veltrane::deck::FileStore store(argv[1]);
    const veltrane::deck::LayoutDocument layouts[] = {veltrane::testing::crashTestLayout(0),
                                                      veltrane::testing::crashTestLayout(1)};
    for (unsigned long round = 0;; ++round) {
        store.saveLayout(layouts[round % 2]);
        if (round == 0) {
            std::puts("saved");
            std::fflush(stdout);
        }
    }
}
