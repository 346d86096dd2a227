#include <gtest/gtest.h>

#include <cerrno>
#include <map>

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
    int encodeFrame(std::shared_ptr<const video::PixelBuffer>, std::int64_t) override {
        if (record_->invalidated) return -1;
        ++record_->encoded;
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
        p.createEncoder = [this](int, int, video::VideoEncoder::Output, int&, std::string&) {
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
    for (int i = 0; i < 5; ++i) encoder->didOutputFrame(picture(), i);
    EXPECT_EQ(h.encoder->encoded, 4);
    EXPECT_EQ(encoder->framesInFlight(), 4);
    encoder->handleEncodedFrame(0, false, nullptr);  // a result without data frees its slot
    EXPECT_EQ(encoder->framesInFlight(), 3);
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
