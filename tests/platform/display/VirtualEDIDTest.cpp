#include <gtest/gtest.h>

#include <numeric>

#include "platform/display/ScreenOutputs.h"
#include "platform/display/VirtualEDID.h"

using namespace veltrane::display;

TEST(VirtualEDID, CarriesTheDescriptorInAValidBlock) {
    VirtualDisplayDescriptor d;
    d.name = "Veltrane Virtual Screen";
    d.widthMillimetres = 256;
    d.heightMillimetres = 154;
    d.serialNumber = 0x4F465331;
    d.productID = 0x4D4B;
    d.vendorID = 0x4F46;
    const std::string edid = virtualDisplayEDID(d);
    ASSERT_EQ(edid.size(), 128u);
    auto byte = [&](std::size_t at) { return static_cast<unsigned char>(edid[at]); };
    EXPECT_EQ(std::accumulate(edid.begin(), edid.end(), 0u,
                              [](unsigned s, char c) { return s + static_cast<unsigned char>(c); }) % 256, 0u);
    EXPECT_EQ(ScreenOutputs::edidMonitorName(edid), "Veltrane Virt") << "cut to EDID's 13 characters";
    EXPECT_EQ(byte(8), 0x4F);  // maker code, big-endian
    EXPECT_EQ(byte(9), 0x46);
    EXPECT_EQ(byte(10), 0x4B);  // product, little-endian
    EXPECT_EQ(byte(11), 0x4D);
    EXPECT_EQ(byte(12), 0x31);  // serial, little-endian
    EXPECT_EQ(byte(15), 0x4F);
    EXPECT_EQ(byte(21), 26);  // centimetres
    EXPECT_EQ(byte(22), 15);

    d.name = "Tab";
    EXPECT_EQ(ScreenOutputs::edidMonitorName(virtualDisplayEDID(d)), "Tab");
}
