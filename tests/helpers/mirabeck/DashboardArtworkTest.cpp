#include "helpers/mirabeck/DashboardArtwork.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/image/JPEGImage.h"
#include "platform/image/PNGImage.h"

using namespace veltrane;
using namespace veltrane::mirabeck;

namespace {

// Noise compresses badly, so a small picture still makes a large file.
image::RGBAImage noise(int width, int height, unsigned seed = 1) {
    image::RGBAImage picture{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4)};
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < picture.pixels.size(); ++i)
        picture.pixels[i] = i % 4 == 3 ? 255 : static_cast<std::uint8_t>(random());
    return picture;
}

// A PNG header declaring `width` x `height`, with no pixels behind it.
std::string declaredPNG(std::uint32_t width, std::uint32_t height) {
    std::string png = *image::PNGImage::encode(noise(1, 1));
    for (int i = 0; i < 4; ++i) {
        png[16 + i] = static_cast<char>(width >> (24 - 8 * i));
        png[20 + i] = static_cast<char>(height >> (24 - 8 * i));
    }
    return png;
}

}  // namespace

TEST(DashboardArtwork, SmallJPEGAndPNGPassThroughUntouched) {
    const std::string png = *image::PNGImage::encode(noise(200, 180));
    ASSERT_LT(png.size(), 220'000u);
    ASSERT_GT(png.size(), 100'000u);
    EXPECT_EQ(dashboardArtwork(png), png);
    const std::string jpeg = *image::JPEGImage::encode(noise(64, 64), 90);
    EXPECT_EQ(dashboardArtwork(jpeg), jpeg);
    // The signature alone decides: bytes that only start like a JPEG pass.
    const std::string lookalike = "\xFF\xD8 not really";
    EXPECT_EQ(dashboardArtwork(lookalike), lookalike);
}

TEST(DashboardArtwork, LargeImagesAreFittedAndEncoded) {
    struct Case {
        int width, height;
        int expectedWidth, expectedHeight;
    };
    const Case cases[] = {
        {1200, 300, 600, 150},
        {400, 300, 400, 300},  // never enlarged
        {20000, 8, 600, 1},    // a side under one pixel becomes one
        {2400, 1600, 600, 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const std::string png = *image::PNGImage::encode(noise(c.width, c.height));
        ASSERT_GE(png.size(), 220'000u) << "the case must not pass through";
        const auto out = dashboardArtwork(png);
        ASSERT_TRUE(out);
        EXPECT_LT(out->size(), 220'000u);
        const auto size = image::JPEGImage::size(*out);
        ASSERT_TRUE(size);
        EXPECT_EQ(size->width, c.expectedWidth);
        EXPECT_EQ(size->height, c.expectedHeight);
    }
    const std::string bigJPEG = *image::JPEGImage::encode(noise(700, 500), 95);
    ASSERT_GE(bigJPEG.size(), 220'000u);
    const auto out = dashboardArtwork(bigJPEG);
    ASSERT_TRUE(out);
    EXPECT_NE(*out, bigJPEG);
    EXPECT_EQ(image::JPEGImage::size(*out)->width, 600);
}

TEST(DashboardArtwork, RefusesWhatItShouldNotDecode) {
    struct Case {
        const char* name;
        std::string data;
    };
    std::string hugeDeclared = declaredPNG(50'000, 50'000);
    hugeDeclared.resize(300'000, '\0');  // past the pass-through size
    std::string justOver = declaredPNG(40'000'001, 1);
    justOver.resize(300'000, '\0');
    std::string tiffLike = "II*\0";
    tiffLike.resize(300'000, 'x');
    const Case cases[] = {
        {"empty", ""},
        {"20,000,000 bytes", std::string(20'000'000, '\xFF')},
        {"a PNG declaring 50,000 x 50,000 pixels", hugeDeclared},
        {"a PNG declaring 40,000,001 pixels", justOver},
        {"another format", tiffLike},
        {"a broken JPEG", "\xFF\xD8" + std::string(300'000, 'z')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dashboardArtwork(c.data), std::nullopt);
    }
}
