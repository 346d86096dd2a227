#include "platform/display/VirtualEDID.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace veltrane::display {
namespace {

constexpr unsigned char kHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
// The chromaticity of sRGB, packed as EDID stores it.
constexpr unsigned char kSRGBChromaticity[10] = {0xEE, 0x91, 0xA3, 0x54, 0x4C, 0x99, 0x26, 0x0F, 0x50, 0x54};
constexpr std::size_t kDescriptorOffsets[4] = {54, 72, 90, 108};
constexpr unsigned char kNameTag = 0xFC;
constexpr unsigned char kRangeTag = 0xFD;
constexpr unsigned char kDummyTag = 0x10;

unsigned char centimetres(double millimetres) {
    const double cm = std::round(millimetres / 10.0);
    return static_cast<unsigned char>(std::clamp(cm, 0.0, 255.0));
}

void descriptor(std::string& block, std::size_t at, unsigned char tag) {
    block[at + 3] = static_cast<char>(tag);
}

}  // namespace

std::string virtualDisplayEDID(const VirtualDisplayDescriptor& d) {
    std::string block(kEDIDBlockLength, '\0');
    auto put = [&](std::size_t at, unsigned value) { block[at] = static_cast<char>(value & 0xFF); };
    for (std::size_t i = 0; i < sizeof kHeader; ++i) put(i, kHeader[i]);
    // The maker code is big-endian; product and serial are little-endian.
    put(8, d.vendorID >> 8);
    put(9, d.vendorID);
    put(10, d.productID);
    put(11, d.productID >> 8);
    for (std::size_t i = 0; i < 4; ++i) put(12 + i, d.serialNumber >> (8 * i));
    put(16, 0);      // week unknown
    put(17, 36);     // 2026, counted from 1990
    put(18, 1);      // version 1.4
    put(19, 4);
    put(20, 0x80);   // digital input
    put(21, centimetres(d.widthMillimetres));
    put(22, centimetres(d.heightMillimetres));
    put(23, 120);    // gamma 2.2
    put(24, 0x05);   // RGB, sRGB default, continuous frequencies (the range below)
    for (std::size_t i = 0; i < sizeof kSRGBChromaticity; ++i) put(25 + i, kSRGBChromaticity[i]);
    for (std::size_t i = 38; i < 54; ++i) put(i, 0x01);  // no standard timings

    std::size_t at = kDescriptorOffsets[0];
    descriptor(block, at, kNameTag);
    const std::string name = d.name.substr(0, kEDIDNameLength);
    for (std::size_t i = 0; i < kEDIDNameLength; ++i)
        put(at + 5 + i, i < name.size() ? static_cast<unsigned char>(name[i]) : (i == name.size() ? '\n' : ' '));

    at = kDescriptorOffsets[1];
    descriptor(block, at, kRangeTag);
    put(at + 5, 24);   // vertical Hz, min and max
    put(at + 6, 75);
    put(at + 7, 15);   // horizontal kHz, min and max
    put(at + 8, 255);
    put(at + 9, 255);  // pixel clock, in 10 MHz
    put(at + 10, 0x01);  // range limits only
    put(at + 11, '\n');
    for (std::size_t i = 12; i < 18; ++i) put(at + i, ' ');

    descriptor(block, kDescriptorOffsets[2], kDummyTag);
    descriptor(block, kDescriptorOffsets[3], kDummyTag);

    const unsigned sum = std::accumulate(block.begin(), block.end() - 1, 0u,
                                         [](unsigned s, char c) { return s + static_cast<unsigned char>(c); });
    put(kEDIDBlockLength - 1, (256 - sum % 256) % 256);
    return block;
}

}  // namespace veltrane::display
