#include <gtest/gtest.h>

#include "platform/system/ProcessSetup.h"

int main(int argc, char** argv) {
    veltrane::sys::ignoreSigpipe();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
