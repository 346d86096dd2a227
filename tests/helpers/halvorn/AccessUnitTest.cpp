#include <gtest/gtest.h>

#include "helpers/halvorn/AccessUnit.h"

using namespace veltrane::halvorn;
using veltrane::video::Codec;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kSPS = {0x67, 0x42, 0xC0, 0x1F};
const Bytes kPPS = {0x68, 0xCE, 0x3C, 0x80};

std::optional<Bytes> build(Codec codec, bool key, const std::vector<Bytes>& sets, const Bytes& data) {
    return buildAccessUnit(codec, key, sets, data.data(), data.size());
}

}  // namespace

TEST(AccessUnit, ReplacesLengthsByStartCodes) {
    struct Case {
        const char* name;
        Codec codec;
        bool key;
        std::vector<Bytes> sets;
        Bytes data;
        std::optional<Bytes> unit;
    };
    const std::vector<Case> cases = {
        {"H.264 key frame: delimiter, SPS, PPS, slices", Codec::h264, true, {kSPS, kPPS},
         {0, 0, 0, 2, 0x65, 0xAA, 0, 0, 0, 1, 0x65},
         Bytes{0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80,
               0, 0, 0, 1, 0x65, 0xAA, 0, 0, 0, 1, 0x65}},
        {"H.264 other frame: no parameter sets", Codec::h264, false, {kSPS, kPPS}, {0, 0, 0, 1, 0x41},
         Bytes{0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x41}},
        {"an unreadable set is left out, the next still written", Codec::h264, true, {{}, kPPS}, {0, 0, 0, 1, 0x65},
         Bytes{0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80, 0, 0, 0, 1, 0x65}},
        {"HEVC non-key frame: NAL units only", Codec::hevc, false, {kSPS, kPPS, kSPS}, {0, 0, 0, 2, 0x02, 0x01},
         Bytes{0, 0, 0, 1, 0x02, 0x01}},
        {"two stray trailing bytes are not written", Codec::h264, false, {}, {0, 0, 0, 1, 0x41, 0xEE, 0xEE},
         Bytes{0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x41}},
        {"a zero NAL length drops the frame", Codec::h264, true, {kSPS, kPPS}, {0, 0, 0, 1, 0x65, 0, 0, 0, 0},
         std::nullopt},
        {"a length past the end drops the frame", Codec::h264, false, {}, {0, 0, 0, 1, 0x41, 0, 0, 0, 5, 1, 2, 3},
         std::nullopt},
        {"a length of 2^32 - 1 drops the frame", Codec::h264, false, {}, {0xFF, 0xFF, 0xFF, 0xFF, 1}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(build(c.codec, c.key, c.sets, c.data), c.unit);
    }
}

TEST(AccessUnit, LengthPrefixIsBigEndian) {
    EXPECT_EQ(lengthPrefix(0), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(lengthPrefix(0x01020304), (Bytes{1, 2, 3, 4}));
}
