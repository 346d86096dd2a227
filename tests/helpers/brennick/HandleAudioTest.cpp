#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "helpers/brennick/CoreAudioTapCapture.h"
#include "helpers/brennick/PacketWriter.h"
#include "tests/support/Eventually.h"

using veltrane::audio::FloatBuffer;
using veltrane::audio::FloatBufferList;
using veltrane::brennick::CoreAudioTapCapture;
using veltrane::brennick::PacketWriter;

namespace {

std::vector<std::int16_t> samplesOf(const std::vector<std::uint8_t>& chunk) {
    std::vector<std::int16_t> samples(chunk.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(chunk[2 * i] | (chunk[2 * i + 1] << 8));
    return samples;
}

std::size_t bytes(std::size_t floats) { return floats * sizeof(float); }

}  // namespace

TEST(BrennickHandleAudio, TurnsEveryBufferLayoutIntoStereo16Bit) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float mono[] = {0.5f, -0.5f, 1.5f};
    const float interleaved[] = {0.5f, -1.5f, 1.0f, -1.0f};
    const float fourChannels[] = {0.25f, 0.5f, 0.9f, 0.9f, -0.25f, -0.5f, 0.9f, 0.9f};
    const float left[] = {0.5f, nan, -0.00001f};
    const float right[] = {-0.5f, 0.25f, 1.5f};
    const float shortRight[] = {0.25f};
    struct Case {
        const char* name;
        std::vector<FloatBuffer> buffers;
        std::vector<std::int16_t> expected;  // L, R, L, R...
    };
    const Case cases[] = {
        {"no buffers", {}, {}},
        {"mono plays on both sides", {{1, mono, bytes(3)}}, {16383, 16383, -16383, -16383, 32767, 32767}},
        {"channel count 0 reads as mono", {{0, mono, bytes(2)}}, {16383, 16383, -16383, -16383}},
        {"interleaved stereo, clamped", {{2, interleaved, bytes(4)}}, {16383, -32767, 32767, -32767}},
        {"interleaved four channels keep the first two", {{4, fourChannels, bytes(8)}}, {8191, 16383, -8191, -16383}},
        {"planar, NaN silent, truncated toward zero", {{1, left, bytes(3)}, {1, right, bytes(3)}},
         {16383, -16383, 0, 8191, 0, 32767}},
        {"missing second buffer repeats the first", {{1, left, bytes(1)}, {1, nullptr, 0}}, {16383, 16383}},
        {"second buffer without bytes repeats the first", {{1, left, bytes(1)}, {1, right, 0}}, {16383, 16383}},
        {"short second buffer", {{1, left, bytes(2)}, {1, shortRight, bytes(1)}}, {16383, 8191, 0, 0}},
        {"first buffer without data is silence", {{1, nullptr, bytes(2)}, {1, right, bytes(2)}}, {0, -16383, 0, 8191}},
        {"no whole frame", {{2, interleaved, bytes(1)}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto chunk = CoreAudioTapCapture::pcm16FromBuffers(FloatBufferList(c.buffers.data(), c.buffers.size()));
        EXPECT_EQ(samplesOf(chunk), c.expected);
    }
}

TEST(BrennickHandleAudio, OneCycleOf512StereoFramesIsOnePacketOf2048Bytes) {
    std::vector<float> cycle(1024, 0.25f);
    FloatBuffer buffer{2, cycle.data(), bytes(cycle.size())};
    EXPECT_EQ(CoreAudioTapCapture::pcm16FromBuffers(FloatBufferList(&buffer, 1)).size(), 2048u);
}

TEST(BrennickPacketWriter, WritesLengthThenFramesAndDropsEmptyAndOversizedChunks) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    auto writer = PacketWriter::create("test.packets", fds[1], nullptr);
    writer->submit({});
    writer->submit(std::vector<std::uint8_t>(65536, 1));
    writer->submit({1, 2, 3, 4});
    writer->submit(std::vector<std::uint8_t>(65532, 9));
    std::vector<std::uint8_t> expected{0, 0, 0, 4, 1, 2, 3, 4, 0, 0, 0xff, 0xfc};
    expected.resize(expected.size() + 65532, 9);
    std::vector<std::uint8_t> got(expected.size());
    std::size_t filled = 0;
    while (filled < got.size()) {
        ssize_t n = ::read(fds[0], got.data() + filled, got.size() - filled);
        ASSERT_GT(n, 0);
        filled += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(got, expected);
    ::close(fds[1]);
    writer.reset();
    ::close(fds[0]);
}

TEST(BrennickPacketWriter, KeepsAboutOneSecondForASlowReaderAndReportsAGoneOne) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    veltrane::testing::EventCounter lost;
    auto writer = PacketWriter::create("test.packets", fds[1], [&] { lost.add(); });
    // Nobody reads: the pipe fills, then the queue keeps the newest second.
    for (int i = 0; i < 400; ++i) writer->submit(std::vector<std::uint8_t>(3840, static_cast<std::uint8_t>(i)));
    EXPECT_GT(writer->droppedPackets(), 100u);
    ::close(fds[0]);
    EXPECT_TRUE(lost.waitFor(1));
    writer->submit({1, 2, 3, 4});
    EXPECT_EQ(lost.count(), 1);
    writer.reset();
    ::close(fds[1]);
}
