#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "platform/system/NetworkInterfaces.h"

namespace veltrane::sys {
namespace {

TEST(NetworkInterfaces, ListsOnlyNumericNonLoopbackIPv4) {
    for (const std::string& address : ipv4Addresses()) {
        in_addr parsed{};
        ASSERT_EQ(inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
        EXPECT_NE(address.rfind("127.", 0), 0u) << "loopback listed: " << address;
    }
}

}  // namespace
}  // namespace veltrane::sys
