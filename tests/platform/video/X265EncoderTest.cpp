// libx265 behind VideoEncoder, on small pictures: what it gives back is
// what the helper's stream is built from.
#include <gtest/gtest.h>

#include <mutex>

#include "platform/video/NalUnits.h"
#include "platform/video/VideoEncoder.h"

using namespace veltrane::video;

namespace {

struct Result {
    int status;
    bool dropped;
    bool key;
    std::vector<int> types;
    std::vector<std::vector<std::uint8_t>> parameterSets;
    std::int64_t presentationTimeNs;
};

std::vector<int> typesOf(const std::vector<std::uint8_t>& data) {
    std::vector<int> types;
    for (std::size_t at = 0; at + 4 < data.size();) {
        std::size_t length = std::size_t{data[at]} << 24 | std::size_t{data[at + 1]} << 16 |
                             std::size_t{data[at + 2]} << 8 | data[at + 3];
        types.push_back(hevcNalType(data[at + 4]));
        at += 4 + length;
    }
    return types;
}

}  // namespace

TEST(X265Encoder, EachPictureComesBackAsLengthPrefixedUnitsWithKeysMarked) {
    std::mutex mutex;
    std::vector<Result> results;
    int status = 0;
    std::string failedCall;
    auto encoder = createX265Encoder(
        64, 48,
        [&](int s, bool dropped, const EncodedSample* sample) {
            std::lock_guard lock(mutex);
            results.push_back({s, dropped, sample && sample->keyFrame,
                               sample ? typesOf(sample->data) : std::vector<int>{},
                               sample ? sample->parameterSets : std::vector<std::vector<std::uint8_t>>{},
                               sample ? sample->presentationTimeNs : -1});
        },
        status, failedCall);
    ASSERT_NE(encoder, nullptr) << failedCall << " " << status;
    for (auto [key, value] : {std::pair{"keyint", "3"},
                              {"bframes", "0"},
                              {"open-gop", "0"},
                              {"fps", "30"},
                              {"bitrate", "200"},
                              {"range", "full"},
                              {"profile", "main"}})
        ASSERT_EQ(encoder->setProperty(key, value), 0) << key;
    EXPECT_EQ(encoder->setProperty("no-such-key", "1"), -1);
    EXPECT_EQ(encoder->lastFailedCall(), "x265_param_parse(no-such-key)");
    ASSERT_EQ(encoder->prepareToEncodeFrames(), 0) << encoder->lastFailedCall();

    for (int i = 0; i < 7; ++i) {
        auto picture = std::make_shared<PixelBuffer>(64, 48);
        picture->fillBlack();
        for (int x = 0; x < 64; ++x) picture->luma()[i * 64 + x] = 255;  // something moves
        ASSERT_EQ(encoder->encodeFrame(picture, 1000 + i), 0);
    }
    EXPECT_EQ(encoder->encodeFrame(std::make_shared<PixelBuffer>(48, 64), 0), -1) << "another size is refused";
    encoder->completeFrames();
    encoder->invalidate();
    EXPECT_EQ(encoder->encodeFrame(std::make_shared<PixelBuffer>(64, 48), 0), -1) << "ended";

    std::lock_guard lock(mutex);
    ASSERT_EQ(results.size(), 7u) << "one result per picture, none held back";
    for (std::size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE("picture " + std::to_string(i));
        const Result& r = results[i];
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(r.dropped);
        EXPECT_EQ(r.presentationTimeNs, 1000 + static_cast<std::int64_t>(i));
        EXPECT_EQ(r.key, i % 3 == 0) << "a key picture every 3";
        ASSERT_FALSE(r.types.empty());
        // IDR slices (closed groups: no CRA) or trailing ones; no SEI, no delimiter.
        for (int type : r.types) {
            if (r.key) {
                EXPECT_TRUE(type == 19 || type == 20) << type;
            } else {
                EXPECT_EQ(type, 1);
            }
        }
        if (r.key) {
            ASSERT_EQ(r.parameterSets.size(), 3u);
            EXPECT_EQ(hevcNalType(r.parameterSets[0][0]), 32);
            EXPECT_EQ(hevcNalType(r.parameterSets[1][0]), 33);
            EXPECT_EQ(hevcNalType(r.parameterSets[2][0]), 34);
        } else {
            EXPECT_TRUE(r.parameterSets.empty());
        }
    }
}

TEST(X265Encoder, AnOddSizeFailsToOpenNamingTheCall) {
    int status = 0;
    std::string failedCall;
    auto encoder = createX265Encoder(
        63, 48, [](int, bool, const EncodedSample*) {}, status, failedCall);
    ASSERT_NE(encoder, nullptr);
    EXPECT_NE(encoder->prepareToEncodeFrames(), 0);
    EXPECT_EQ(encoder->lastFailedCall(), "x265_encoder_open");
}
