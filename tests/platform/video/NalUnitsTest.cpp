#include <gtest/gtest.h>

#include "platform/video/NalUnits.h"

using namespace veltrane::video;
using Bytes = std::vector<std::uint8_t>;

namespace {

// One length-prefixed unit of HEVC `type` with a two-byte header and a byte of payload.
Bytes unit(int type) { return {0, 0, 0, 3, static_cast<std::uint8_t>(type << 1), 0x01, 0xAF}; }

Bytes join(std::initializer_list<Bytes> units) {
    Bytes all;
    for (const auto& u : units) all.insert(all.end(), u.begin(), u.end());
    return all;
}

}  // namespace

TEST(NalUnits, HEVCTypeSitsInBitsOneToSix) {
    EXPECT_EQ(hevcNalType(0x40), 32);  // VPS
    EXPECT_EQ(hevcNalType(0x26), 19);  // IDR_W_RADL
    EXPECT_EQ(hevcNalType(0x81), 0) << "the forbidden bit and the layer bit are not the type";
    EXPECT_EQ(hevcNalType(0x7F), 63);
}

TEST(NalUnits, AKeyPictureHoldsAnIntraRandomAccessSlice) {
    struct Case {
        const char* name;
        Bytes data;
        bool key;
    };
    const std::vector<Case> cases = {
        {"IDR_W_RADL", unit(19), true},
        {"IDR_N_LP", unit(20), true},
        {"CRA", unit(21), true},
        {"BLA_W_LP, the first IRAP type", unit(16), true},
        {"reserved IRAP 23, the last", unit(23), true},
        {"trailing picture", unit(1), false},
        {"RASL, just below", unit(9), false},
        {"reserved non-IRAP 24, just above", unit(24), false},
        {"parameter sets alone", join({unit(32), unit(33), unit(34)}), false},
        {"an SEI before an IDR slice", join({unit(39), unit(19)}), true},
        {"an IDR after a zero length", join({{0, 0, 0, 0}, unit(19)}), false},
        {"a length past the end", Bytes{0, 0, 0, 9, 0x26, 0x01}, false},
        {"fewer than four bytes", Bytes{0, 0, 0}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(isHEVCKeyPicture(c.data.data(), c.data.size()), c.key);
    }
}
