#include "platform/image/JPEGImage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace veltrane::image {
namespace {

RGBAImage gradient(int width, int height) {
    RGBAImage image{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = image.pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            p[0] = static_cast<std::uint8_t>(x * 255 / width);
            p[1] = static_cast<std::uint8_t>(y * 255 / height);
            p[2] = 128;
            p[3] = 10;  // alpha is not encoded
        }
    return image;
}

TEST(JPEGImageTest, EncodesAndDecodesCloseToTheSource) {
    const auto source = gradient(64, 48);
    const auto jpeg = JPEGImage::encode(source, 95);
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(jpeg->substr(0, 2), "\xFF\xD8");
    const auto size = JPEGImage::size(*jpeg);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, 64);
    EXPECT_EQ(size->height, 48);
    const auto decoded = JPEGImage::decode(*jpeg);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->pixels.size(), source.pixels.size());
    for (std::size_t i = 0; i < source.pixels.size(); i += 4) {
        for (int c = 0; c < 3; ++c) ASSERT_LE(std::abs(decoded->pixels[i + c] - source.pixels[i + c]), 12) << i;
        ASSERT_EQ(decoded->pixels[i + 3], 255);
    }
    // Lower quality, fewer bytes.
    EXPECT_LT(JPEGImage::encode(source, 20)->size(), jpeg->size());
}

TEST(JPEGImageTest, RejectsWhatIsNotAJPEGWithoutEndingTheProcess) {
    const auto jpeg = *JPEGImage::encode(gradient(32, 32), 80);
    const std::pair<const char*, std::string> unreadable[] = {
        {"empty", ""}, {"text", "hello"}, {"start of image only", "\xFF\xD8\xFF"},
        {"header cut short", jpeg.substr(0, 40)}, {"PNG signature", "\x89PNG\r\n\x1A\n"},
    };
    for (const auto& [name, bytes] : unreadable) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(JPEGImage::size(bytes));
        EXPECT_FALSE(JPEGImage::decode(bytes));
    }
    // A stream cut in its pixel data still gives the whole image.
    const auto cut = JPEGImage::decode(jpeg.substr(0, jpeg.size() - 100));
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->width, 32);

    EXPECT_FALSE(JPEGImage::encode(RGBAImage{}, 80));
    EXPECT_FALSE(JPEGImage::encode(RGBAImage{2, 2, std::vector<std::uint8_t>(15)}, 80));
    EXPECT_FALSE(JPEGImage::encode(gradient(2, 2), 0));
}

}  // namespace
}  // namespace veltrane::image
