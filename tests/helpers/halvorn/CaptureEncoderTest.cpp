#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <map>
#include <optional>

#include "helpers/halvorn/CaptureEncoder.h"
#include "helpers/halvorn/CaptureError.h"

using namespace veltrane;
using namespace veltrane::halvorn;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Takes pictures and keeps them; the test hands results back itself.
class FakeEncoder final : public video::VideoEncoder {
public:
    struct Record {
        std::map<std::string, std::string> properties;
        std::string refusedKey;  // this key fails with -2
        int encoded = 0;
        bool keepPictures = false;  // holds every picture it was given
        std::vector<std::shared_ptr<const video::PixelBuffer>> pictures;
        bool prepared = false;
        bool completed = false;
        bool invalidated = false;
    };
    explicit FakeEncoder(std::shared_ptr<Record> record) : record_(std::move(record)) {}
    int setProperty(const std::string& key, const std::string& value) override {
        if (key == record_->refusedKey) {
            failed_ = "x264_param_parse(" + key + ")";
            return -2;
        }
        record_->properties[key] = value;
        return 0;
    }
    int prepareToEncodeFrames() override {
        record_->prepared = true;
        return 0;
    }
    int encodeFrame(std::shared_ptr<const video::PixelBuffer> picture, std::int64_t) override {
        if (record_->invalidated) return -1;
        ++record_->encoded;
        if (record_->keepPictures) record_->pictures.push_back(std::move(picture));
        return 0;
    }
    void completeFrames() override { record_->completed = true; }
    void invalidate() override { record_->invalidated = true; }
    std::string lastFailedCall() const override { return failed_; }

private:
    std::shared_ptr<Record> record_;
    std::string failed_;
};

class FakeStream final : public CaptureStream {
public:
    explicit FakeStream(bool* stopped) : stopped_(stopped) {}
    void startCapture() override {}
    void stopCapture() override { *stopped_ = true; }

private:
    bool* stopped_;
};

struct Harness {
    std::shared_ptr<FakeEncoder::Record> encoder = std::make_shared<FakeEncoder::Record>();
    std::optional<video::Codec> codec;
    int encodedWidth = 0, encodedHeight = 0;
    StreamConfiguration stream;
    bool streamStopped = false;
    std::vector<std::uint32_t> displays = {5};
    Bytes output;
    std::string errors;
    std::vector<int> exits;
    std::int64_t now = 0;
    // What each write call does: a byte count to take at most, 0 for "closed",
    // -1 for EINTR. Afterwards every write takes everything.
    std::vector<long> writes;

    CapturePlatform platform() {
        CapturePlatform p;
        p.createEncoder = [this](video::Codec c, int width, int height, video::VideoEncoder::Output, int&,
                                 std::string&) {
            codec = c;
            encodedWidth = width;
            encodedHeight = height;
            return std::make_unique<FakeEncoder>(encoder);
        };
        p.displayIDs = [this] { return displays; };
        p.createStream = [this](const StreamConfiguration& c, std::shared_ptr<dispatch::DispatchQueue>,
                                CapturePlatform::FrameHandler, CapturePlatform::StopHandler) {
            stream = c;
            return std::make_unique<FakeStream>(&streamStopped);
        };
        p.writeOutput = [this](const std::uint8_t* data, std::size_t size) -> long {
            long take = static_cast<long>(size);
            if (!writes.empty()) {
                take = writes.front();
                writes.erase(writes.begin());
                if (take < 0) {
                    errno = EINTR;
                    return -1;
                }
                take = std::min<long>(take, static_cast<long>(size));
            }
            output.insert(output.end(), data, data + take);
            return take;
        };
        p.writeError = [this](const std::string& text) { errors += text; };
        p.exit = [this](int status) { exits.push_back(status); };
        p.monotonicNanoseconds = [this] { return now; };
        return p;
    }

    std::shared_ptr<CaptureEncoder> started(std::vector<std::string> extra = {}) {
        // The extra arguments come first, so their values count.
        std::vector<std::string> arguments = std::move(extra);
        arguments.insert(arguments.end(), {"--display-id", "5", "--width", "64", "--height", "48", "--fps", "30",
                                           "--bitrate", "1000003"});
        auto encoderObject = std::make_shared<CaptureEncoder>(Options::parse(arguments), platform());
        encoderObject->start();
        return encoderObject;
    }
};

std::shared_ptr<const video::PixelBuffer> picture() { return std::make_shared<video::PixelBuffer>(64, 48); }

video::EncodedSample sample(Bytes data, bool key = false, std::int64_t pts = 0) {
    video::EncodedSample s;
    s.data = std::move(data);
    s.keyFrame = key;
    s.presentationTimeNs = pts;
    s.parameterSets = {{0x67, 0x42}, {0x68, 0xCE}};
    return s;
}

const Bytes kSlice = {0, 0, 0, 2, 0x41, 0x9A};
const Bytes kSliceUnit = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x41, 0x9A};

}  // namespace

TEST(CaptureEncoder, ConfiguresTheEncoderAndWritesTheStartLine) {
    Harness h;
    auto encoder = h.started();
    const std::map<std::string, std::string> expected = {
        {"rc-lookahead", "0"}, {"bframes", "0"}, {"sync-lookahead", "0"}, {"ref", "1"}, {"fps", "30"},
        {"bitrate", "1000"}, {"colorprim", "bt709"}, {"transfer", "iec61966-2-1"}, {"colormatrix", "bt709"},
        {"fullrange", "on"}, {"keyint", "15"}, {"profile", "baseline"}, {"vbv-maxrate", "1000"},
        {"vbv-bufsize", "1000"}};
    EXPECT_EQ(h.encoder->properties, expected);
    EXPECT_EQ(h.codec, video::Codec::h264);
    EXPECT_TRUE(h.encoder->prepared);
    EXPECT_EQ(h.stream.displayID, 5u);
    EXPECT_EQ(h.stream.width, 64);
    EXPECT_EQ(h.stream.fps, 30);
    EXPECT_EQ(h.stream.queueDepth, 3);
    EXPECT_TRUE(h.stream.showsCursor);
    EXPECT_EQ(h.errors, "ScreenCaptureKit active at 64x48@30; encoding 64x48\n");
}

TEST(CaptureEncoder, KeyFrameIntervalIsHalfTheFrameRateAndAtLeastOne) {
    for (auto [fps, keyint] : {std::pair{"1", "1"}, {"3", "1"}, {"30", "15"}, {"61", "30"}}) {
        SCOPED_TRACE(fps);
        Harness h;
        h.started({"--fps", fps, "--bitrate", "8000000"});
        EXPECT_EQ(h.encoder->properties["keyint"], keyint);
        EXPECT_EQ(h.encoder->properties["vbv-maxrate"], "8000");
    }
}

TEST(CaptureEncoder, StartFailuresNameTheCallOrTheDisplay) {
    {
        Harness h;
        h.encoder->refusedKey = "fps";
        try {
            h.started();
            FAIL() << "start went on";
        } catch (const CaptureError& error) {
            EXPECT_EQ(error.description(), "x264_param_parse(fps) failed with status -2");
        }
    }
    {
        Harness h;
        h.encoder->refusedKey = "ref";  // the encoder may refuse it without harm
        EXPECT_NO_THROW(h.started());
    }
    {
        Harness h;
        h.displays = {1, 2};
        try {
            h.started({});
            FAIL() << "start went on";
        } catch (const CaptureError& error) {
            EXPECT_EQ(error.description(), "Display 5 is not available");
        }
    }
}

TEST(CaptureEncoder, DropsTheFifthFrameWhileFourAreInFlight) {
    Harness h;
    auto encoder = h.started();
    ASSERT_TRUE(h.stream.ready);
    EXPECT_TRUE(h.stream.ready()) << "the capture grabs while there is room";
    for (int i = 0; i < 5; ++i) encoder->didOutputFrame(picture(), i);
    EXPECT_EQ(h.encoder->encoded, 4);
    EXPECT_EQ(encoder->framesInFlight(), 4);
    EXPECT_FALSE(h.stream.ready()) << "and skips its ticks while the encoder is full";
    encoder->handleEncodedFrame(0, false, nullptr);  // a result without data frees its slot
    EXPECT_EQ(encoder->framesInFlight(), 3);
    EXPECT_TRUE(h.stream.ready());
    encoder->didOutputFrame(picture(), 6);
    EXPECT_EQ(h.encoder->encoded, 5);
    EXPECT_TRUE(h.output.empty());
}

TEST(CaptureEncoder, WritesOneUnitPerGoodFrameAndNothingForBadOnes) {
    Harness h;
    auto encoder = h.started({"--length-prefix"});
    for (int i = 0; i < 4; ++i) encoder->didOutputFrame(picture(), i);

    auto key = sample({0, 0, 0, 1, 0x65}, true);
    encoder->handleEncodedFrame(0, false, &key);
    auto zeroLength = sample({0, 0, 0, 1, 0x41, 0, 0, 0, 0});
    encoder->handleEncodedFrame(0, false, &zeroLength);
    auto good = sample(kSlice);
    encoder->handleEncodedFrame(-1, false, &good);  // the encoder failed it
    encoder->handleEncodedFrame(0, false, &good);

    Bytes expected = {0, 0, 0, 23, 0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE,
                      0, 0, 0, 1, 0x65};
    expected.insert(expected.end(), {0, 0, 0, 12});
    expected.insert(expected.end(), kSliceUnit.begin(), kSliceUnit.end());
    EXPECT_EQ(h.output, expected);
    EXPECT_EQ(encoder->framesInFlight(), 0);
    EXPECT_TRUE(h.exits.empty());
}

TEST(CaptureEncoder, ShortAndInterruptedWritesAreCompleted) {
    Harness h;
    h.writes = {-1, 5, -1, 1, 3};
    auto encoder = h.started();
    encoder->didOutputFrame(picture(), 0);
    auto good = sample(kSlice);
    encoder->handleEncodedFrame(0, false, &good);
    EXPECT_EQ(h.output, kSliceUnit);
    EXPECT_TRUE(h.exits.empty());
}

TEST(CaptureEncoder, AClosedOutputStopsAndEndsWithStatusZero) {
    Harness h;
    h.writes = {4, 0};
    auto encoder = h.started();
    encoder->didOutputFrame(picture(), 0);
    auto good = sample(kSlice);
    encoder->handleEncodedFrame(0, false, &good);
    EXPECT_EQ(h.exits, std::vector<int>{0});
    EXPECT_TRUE(h.encoder->completed);
    EXPECT_TRUE(h.encoder->invalidated);
    EXPECT_TRUE(h.streamStopped);
    EXPECT_EQ(h.errors, "ScreenCaptureKit active at 64x48@30; encoding 64x48\n") << "no message";
    encoder->didOutputFrame(picture(), 1);
    EXPECT_EQ(h.encoder->encoded, 1) << "nothing is handed over after stop";
}

TEST(CaptureEncoder, AStreamErrorIsReportedAndEndsWithStatusOne) {
    Harness h;
    auto encoder = h.started();
    encoder->didStopWithError("display 5 was switched off");
    EXPECT_EQ(h.errors, "ScreenCaptureKit active at 64x48@30; encoding 64x48\n"
                        "Capture stopped: display 5 was switched off\n");
    EXPECT_EQ(h.exits, std::vector<int>{1});
    EXPECT_TRUE(h.encoder->invalidated);
    encoder->stop();  // idempotent
}

TEST(CaptureEncoder, StatisticsMeasureFromThePresentationTime) {
    Harness h;
    h.now = 1'000'000'000;
    auto encoder = h.started();
    h.errors.clear();
    for (int i = 0; i < 3; ++i) {
        encoder->didOutputFrame(picture(), h.now);
        h.now += 1'000'000'000;
        auto s = sample(kSlice, false, h.now - 4'000'000);  // 4 ms after capture
        encoder->handleEncodedFrame(0, false, &s);
    }
    EXPECT_EQ(h.errors, "Encoder 1.0 fps; capture-to-encode 4.0 ms mean, 4.0 ms p95\n");
}

TEST(CaptureEncoder, HEVCAsksForMainProfileClosedGroupsAndFullRange) {
    Harness h;
    auto encoder = h.started({"--hevc"});
    const std::map<std::string, std::string> expected = {{"rc-lookahead", "0"},
                                                         {"bframes", "0"},
                                                         {"ref", "1"},
                                                         {"fps", "30"},
                                                         {"bitrate", "1000"},
                                                         {"colorprim", "bt709"},
                                                         {"transfer", "iec61966-2-1"},
                                                         {"colormatrix", "bt709"},
                                                         {"range", "full"},
                                                         {"keyint", "15"},
                                                         {"open-gop", "0"},
                                                         {"profile", "main"},
                                                         {"vbv-maxrate", "1000"},
                                                         {"vbv-bufsize", "1000"}};
    EXPECT_EQ(h.encoder->properties, expected);
    EXPECT_EQ(h.codec, video::Codec::hevc);
    EXPECT_EQ(h.errors, "ScreenCaptureKit active at 64x48@30; encoding 64x48\n");

    {
        Harness refused;
        refused.encoder->refusedKey = "open-gop";
        try {
            refused.started({"--hevc"});
            FAIL() << "start went on";
        } catch (const CaptureError& error) {
            EXPECT_EQ(error.description(), "x264_param_parse(open-gop) failed with status -2");
        }
    }
}

TEST(CaptureEncoder, HEVCUnitsHaveNoDelimiterAndThreeParameterSets) {
    Harness h;
    auto encoder = h.started({"--hevc"});
    encoder->didOutputFrame(picture(), 0);
    encoder->didOutputFrame(picture(), 1);
    video::EncodedSample key;
    key.data = {0, 0, 0, 2, 0x26, 0x01};  // an IDR slice
    key.keyFrame = true;
    key.parameterSets = {{0x40, 0x01}, {0x42, 0x01}, {0x44, 0x01}};
    encoder->handleEncodedFrame(0, false, &key);
    video::EncodedSample next;
    next.data = {0, 0, 0, 2, 0x02, 0x01};
    next.parameterSets = key.parameterSets;  // not a key picture: left out
    encoder->handleEncodedFrame(0, false, &next);
    const Bytes expected = {0, 0,    0,    1, 0x40, 0x01, 0, 0,    0,    1, 0x42, 0x01, 0, 0,    0,
                            1, 0x44, 0x01, 0, 0,    0,    1, 0x26, 0x01, 0, 0,    0,    1, 0x02, 0x01};
    EXPECT_EQ(h.output, expected);
}

TEST(CaptureEncoder, RotationTurnsTheEncodedSizeButNotTheCapture) {
    Harness h;
    h.encoder->keepPictures = true;
    auto encoder = h.started({"--rotate-clockwise"});
    EXPECT_EQ(h.stream.width, 64);
    EXPECT_EQ(h.stream.height, 48);
    EXPECT_EQ(h.encodedWidth, 48);
    EXPECT_EQ(h.encodedHeight, 64);
    EXPECT_EQ(h.errors, "ScreenCaptureKit active at 64x48@30; encoding 48x64\n");

    // The top-left luma sample goes to the top-right corner.
    auto captured = std::make_shared<video::PixelBuffer>(64, 48);
    captured->fillBlack();
    captured->luma()[0] = 200;
    encoder->didOutputFrame(captured, 0);
    ASSERT_EQ(h.encoder->pictures.size(), 1u);
    const auto& turned = *h.encoder->pictures[0];
    EXPECT_EQ(turned.width, 48);
    EXPECT_EQ(turned.height, 64);
    EXPECT_EQ(turned.luma()[47], 200);
    EXPECT_EQ(turned.luma()[0], 0);
}

TEST(CaptureEncoder, AFrameThatCannotBeTurnedIsDroppedAndTheNextWritten) {
    // Every picture the encoder was given stays out of the pool.
    Harness h;
    h.encoder->keepPictures = true;
    auto encoder = h.started({"--rotate-clockwise"});
    auto good = sample(kSlice);
    auto round = [&](int frames) {
        for (int i = 0; i < frames; ++i) encoder->didOutputFrame(picture(), i);
        for (int i = 0; i < frames; ++i) encoder->handleEncodedFrame(0, false, &good);
    };
    round(4);
    round(2);
    ASSERT_EQ(h.encoder->encoded, 6);
    ASSERT_EQ(h.output.size(), 6 * kSliceUnit.size());

    struct Case {
        const char* name;
        std::function<void()> before;
        std::shared_ptr<const video::PixelBuffer> frame;
    };
    const std::vector<Case> cases = {
        // All six turned pictures are out: the pool has none.
        {"pool empty", [] {}, picture()},
        // A picture of another size cannot be turned.
        {"wrong size", [&] { h.encoder->pictures.clear(); }, std::make_shared<video::PixelBuffer>(32, 48)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.before();
        const int encodedBefore = h.encoder->encoded;
        const std::size_t writtenBefore = h.output.size();
        encoder->didOutputFrame(c.frame, 10);
        EXPECT_EQ(h.encoder->encoded, encodedBefore) << "dropped before the encoder";
        EXPECT_EQ(encoder->framesInFlight(), 0) << "its slot is released";
        if (std::string(c.name) == "pool empty") h.encoder->pictures.erase(h.encoder->pictures.begin());
        encoder->didOutputFrame(picture(), 11);
        EXPECT_EQ(h.encoder->encoded, encodedBefore + 1) << "the next frame goes on";
        encoder->handleEncodedFrame(0, false, &good);
        EXPECT_EQ(h.output.size(), writtenBefore + kSliceUnit.size());
    }
}

TEST(CaptureEncoder, TheSourceRectangleNeedsAllFourParts) {
    {
        Harness h;
        h.started(
            {"--source-x", "-10", "--source-y", "0", "--source-width", "1099511627776", "--source-height", "600"});
        ASSERT_TRUE(h.stream.sourceRect.has_value());
        EXPECT_EQ(h.stream.sourceRect->x, -10);
        EXPECT_EQ(h.stream.sourceRect->width, 1099511627776);
        EXPECT_EQ(h.stream.sourceRect->height, 600);
    }
    for (auto extra : {std::vector<std::string>{"--source-x", "0", "--source-y", "0", "--source-width", "8"},
                       std::vector<std::string>{"--source-x", "0", "--source-y", "0", "--source-width", "0",
                                                "--source-height", "8"}}) {
        Harness h;
        h.started(extra);
        EXPECT_FALSE(h.stream.sourceRect.has_value());
        EXPECT_EQ(h.errors, "ScreenCaptureKit active at 64x48@30; encoding 64x48\n") << "no message";
    }
}
