#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

extern "C" {
#include <libswscale/swscale.h>
}

#include "platform/video/PixelConverter.h"

using namespace veltrane::video;

namespace {

struct Picture {
    int width, height;
    std::vector<std::uint8_t> bgra;
    Picture(int w, int h) : width(w), height(h), bgra(static_cast<std::size_t>(w) * h * 4, 0xFF) {}
    void set(int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        std::uint8_t* p = &bgra[(static_cast<std::size_t>(y) * width + x) * 4];
        p[0] = b, p[1] = g, p[2] = r;
    }
};

int maxDifference(const PixelBuffer& a, const PixelBuffer& b) {
    int worst = 0;
    for (std::size_t i = 0; i < a.bytes.size(); ++i) worst = std::max(worst, std::abs(a.bytes[i] - b.bytes[i]));
    return worst;
}

}  // namespace

TEST(PixelConverter, MatchesSwscaleOnNoiseAndGradients) {
    // 70 wide: the vector path and the portable tail both meet swscale.
    constexpr int W = 70;
    Picture picture(W, 48);
    std::mt19937 random(7);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            // Smooth on the left (where a 2 x 2 average and swscale's filter
            // agree), noise on the right (where only the luma must agree).
            if (x < 32 || x >= 64) picture.set(x, y, static_cast<std::uint8_t>(x * 8), static_cast<std::uint8_t>(y * 5), 128);
            else picture.set(x, y, random() & 0xFF, random() & 0xFF, random() & 0xFF);
        }
    PixelBuffer ours(W, 48), reference(W, 48);
    convertBGRAToNV12(picture.bgra.data(), W * 4, W, 48, ours.luma(), W, ours.chroma(), W);
    SwsContext* context = nullptr;
    ASSERT_TRUE(swscaleBGRAToNV12(context, picture.bgra.data(), W * 4, W, 48, reference, {0, 0, W, 48}));
    sws_freeContext(context);

    int lumaWorst = 0, chromaWorst = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < W; ++x)
            lumaWorst = std::max(lumaWorst, std::abs(ours.luma()[y * W + x] - reference.luma()[y * W + x]));
    // Chroma of the smooth columns (the left 32 and the tail from 64).
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < W; ++x)
            if (x < 32 || x >= 64)
                chromaWorst = std::max(chromaWorst, std::abs(ours.chroma()[y * W + x] - reference.chroma()[y * W + x]));
    EXPECT_LE(lumaWorst, 1);
    EXPECT_LE(chromaWorst, 2);
}

TEST(PixelConverter, PrimariesLandOnTheirFullRangeBT709Values) {
    struct Case {
        const char* name;
        std::uint8_t r, g, b;
        int y, cb, cr;
    };
    const std::vector<Case> cases = {
        {"white", 255, 255, 255, 255, 128, 128}, {"black", 0, 0, 0, 0, 128, 128},
        {"red", 255, 0, 0, 54, 99, 255},          {"green", 0, 255, 0, 182, 30, 12},
        {"blue", 0, 0, 255, 18, 255, 116},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // 18 pixels wide: the first 16 take the vector path where there is
        // one, the last two the portable one; both must agree.
        Picture picture(18, 2);
        for (int i = 0; i < 36; ++i) picture.set(i % 18, i / 18, c.r, c.g, c.b);
        PixelBuffer out(18, 2);
        convertBGRAToNV12(picture.bgra.data(), 18 * 4, 18, 2, out.luma(), 18, out.chroma(), 18);
        for (int x : {0, 7, 15, 16, 17}) {
            EXPECT_EQ(out.luma()[x], c.y) << x;
            EXPECT_EQ(out.luma()[18 + x], c.y) << x;
        }
        for (int pair : {0, 3, 7, 8}) {
            EXPECT_EQ(out.chroma()[2 * pair], c.cb) << pair;
            EXPECT_EQ(out.chroma()[2 * pair + 1], c.cr) << pair;
        }
    }
}

TEST(PixelConverter, FitsKeepingTheAspectOnEvenBoundaries) {
    struct Case {
        int sw, sh, w, h;
        Rect rect;
    };
    const std::vector<Case> cases = {
        {1920, 1080, 1920, 1080, {0, 0, 1920, 1080}},
        {1280, 720, 640, 720, {0, 180, 640, 360}},
        {720, 1280, 1280, 720, {438, 0, 404, 720}},
        {1000, 1000, 101, 51, {24, 0, 50, 50}},
        {0, 10, 10, 10, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.sw) + "x" + std::to_string(c.sh) + " into " + std::to_string(c.w) + "x" +
                     std::to_string(c.h));
        EXPECT_EQ(fitRect(c.sw, c.sh, c.w, c.h), c.rect);
    }
}

TEST(PixelConverter, ScalesIntoTheMiddleBetweenBlackBars) {
    // Left half white, right half black, fitted into a taller picture.
    Picture picture(128, 72);
    for (int y = 0; y < 72; ++y)
        for (int x = 64; x < 128; ++x) picture.set(x, y, 0, 0, 0);
    PixelBuffer out(64, 72);
    out.fillBlack();
    PixelConverter converter;
    ASSERT_TRUE(converter.convert(picture.bgra.data(), 128 * 4, 128, 72, out));
    auto luma = [&](int x, int y) { return out.luma()[y * 64 + x]; };
    EXPECT_EQ(luma(10, 5), 0) << "bar above";
    EXPECT_EQ(luma(10, 66), 0) << "bar below";
    EXPECT_GE(luma(10, 36), 250) << "left half white";
    EXPECT_LE(luma(50, 36), 5) << "right half black";
    EXPECT_EQ(out.chroma()[(5 / 2) * 64 + 10], 128);

    // The same picture at its own size goes through our converter.
    PixelBuffer same(128, 72), reference(128, 72);
    ASSERT_TRUE(converter.convert(picture.bgra.data(), 128 * 4, 128, 72, same));
    SwsContext* context = nullptr;
    ASSERT_TRUE(swscaleBGRAToNV12(context, picture.bgra.data(), 128 * 4, 128, 72, reference, {0, 0, 128, 72}));
    sws_freeContext(context);
    EXPECT_LE(maxDifference(same, reference), 2);
}

TEST(PixelConverter, ASourceRectangleIsClippedToTheDisplayAndFittedWhole) {
    constexpr std::int64_t kHuge = std::int64_t{1} << 40;
    struct Case {
        const char* name;
        SourceRect source;
        Rect capture, target;
    };
    // A 1280 x 720 display into 1280 x 720 pictures.
    const std::vector<Case> cases = {
        {"the whole display", {0, 0, 1280, 720}, {0, 0, 1280, 720}, {0, 0, 1280, 720}},
        {"a quarter, scaled up", {0, 0, 640, 360}, {0, 0, 640, 360}, {0, 0, 1280, 720}},
        // 800 x 600 fits at 960 x 720 from x 160; the 10 columns off the
        // display take 12 of them.
        {"past the left edge", {-10, 0, 800, 600}, {0, 0, 790, 600}, {172, 0, 948, 720}},
        // 560 x 240 fits at 1280 x 548 from y 86; the part on the display is
        // its top-left quarter.
        {"past the right and bottom", {1000, 600, 560, 240}, {1000, 600, 280, 120}, {0, 86, 640, 274}},
        {"2^40 square: clipped, then far too small to show", {0, 0, kHuge, kHuge}, {}, {}},
        {"wholly off the display", {-kHuge, 0, kHuge, 720}, {}, {}},
        {"beyond the 64-bit end", {INT64_MAX - 5, INT64_MAX - 5, INT64_MAX, INT64_MAX}, {}, {}},
        {"empty", {0, 0, 0, 720}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SourcePlacement placement = placeSource(c.source, 1280, 720, 1280, 720);
        EXPECT_EQ(placement.capture, c.capture);
        EXPECT_EQ(placement.target, c.target);
    }
}

TEST(PixelConverter, SplitsInterleavedChromaIntoPlanes) {
    // 37 pairs: two vector steps where there are any, and a tail.
    std::vector<std::uint8_t> interleaved(74), cb(37), cr(37);
    for (int i = 0; i < 74; ++i) interleaved[i] = static_cast<std::uint8_t>(i % 2 ? 200 + i / 2 : i / 2);
    splitChroma(interleaved.data(), 37, cb.data(), cr.data());
    for (int i = 0; i < 37; ++i) {
        EXPECT_EQ(cb[i], i) << i;
        EXPECT_EQ(cr[i], 200 + i) << i;
    }
}
