#include "ControlDeckCore/media/QQNowPlaying.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/image/JPEGImage.h"
#include "platform/image/PNGImage.h"

namespace veltrane::media {
namespace {

using image::RGBAImage;

// A noisy picture, so JPEG sizes grow with the pixel count as photos do.
RGBAImage picture(int width, int height, std::uint8_t alpha = 255) {
    RGBAImage image{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4)};
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < image.pixels.size(); i += 4) {
        state = state * 1664525u + 1013904223u;
        image.pixels[i] = static_cast<std::uint8_t>(state >> 24);
        image.pixels[i + 1] = static_cast<std::uint8_t>((i / 4) % 251);
        image.pixels[i + 2] = static_cast<std::uint8_t>(state >> 16);
        image.pixels[i + 3] = alpha;
    }
    return image;
}

image::ImageSize jpegSize(const std::string& bytes) {
    auto size = image::JPEGImage::size(bytes);
    EXPECT_TRUE(size);
    return size.value_or(image::ImageSize{});
}

TEST(DisplayArtworkTest, SmallJPEGPassesThroughByteForByte) {
    const auto jpeg = image::JPEGImage::encode(picture(200, 150), 90);
    ASSERT_TRUE(jpeg);
    ASSERT_LT(jpeg->size(), QQNowPlaying::kMaxOutputBytes);
    EXPECT_EQ(QQNowPlaying::displayArtwork(*jpeg), jpeg);
}

TEST(DisplayArtworkTest, RedrawsWithinTheLimits) {
    struct Case {
        const char* name;
        int width, height;
        bool png;
        int expectWidth, expectHeight;
    };
    const Case cases[] = {
        {"wide PNG squeezed to 600 × 600", 1200, 800, true, 600, 600},
        {"small PNG keeps its size", 400, 300, true, 400, 300},
        {"large JPEG over the byte limit", 1000, 1000, false, 600, 600},
        {"tall JPEG", 300, 2000, false, 300, 600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto source = picture(c.width, c.height);
        const auto bytes = c.png ? image::PNGImage::encode(source) : image::JPEGImage::encode(source, 100);
        ASSERT_TRUE(bytes);
        if (!c.png) {
            ASSERT_GE(bytes->size(), QQNowPlaying::kMaxOutputBytes);
        }
        const auto out = QQNowPlaying::displayArtwork(*bytes);
        ASSERT_TRUE(out);
        EXPECT_NE(*out, *bytes);
        EXPECT_LT(out->size(), QQNowPlaying::kMaxOutputBytes);
        EXPECT_EQ(out->substr(0, 2), "\xFF\xD8");
        const auto size = jpegSize(*out);
        EXPECT_EQ(size.width, c.expectWidth);
        EXPECT_EQ(size.height, c.expectHeight);
    }
}

TEST(DisplayArtworkTest, TransparentPartsEndBlack) {
    const auto png = image::PNGImage::encode(picture(40, 40, 0));
    ASSERT_TRUE(png);
    const auto out = QQNowPlaying::displayArtwork(*png);
    ASSERT_TRUE(out);
    const auto decoded = image::JPEGImage::decode(*out);
    ASSERT_TRUE(decoded);
    for (std::size_t i = 0; i < decoded->pixels.size(); i += 4)
        ASSERT_LE(decoded->pixels[i] + decoded->pixels[i + 1] + decoded->pixels[i + 2], 12) << i;
}

TEST(DisplayArtworkTest, RefusesWhatCannotBeReadOrIsTooLarge) {
    const auto small = image::JPEGImage::encode(picture(16, 16), 80);
    ASSERT_TRUE(small);
    // The same JPEG declaring 60,000 × 60,000 pixels in its frame header.
    std::string declaredHuge = *small;
    const auto sof = declaredHuge.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    for (std::size_t k : {5u, 6u, 7u, 8u}) declaredHuge[sof + k] = static_cast<char>(k % 2 ? 0xEA : 0x60);
    ASSERT_EQ(jpegSize(declaredHuge).width, 60000);

    std::string oversized(QQNowPlaying::kMaxInputBytes + 1, '\0');
    oversized.replace(0, small->size(), *small);
    const auto wide = image::PNGImage::encodeGray(QQNowPlaying::kMaxInputSide + 1, 4,
                                                  std::vector<std::uint8_t>((QQNowPlaying::kMaxInputSide + 1) * 4));
    ASSERT_TRUE(wide);
    const auto manyPixels = image::PNGImage::encodeGray(8000, 5001, std::vector<std::uint8_t>(8000u * 5001u));
    ASSERT_TRUE(manyPixels);

    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"junk", "not an image at all"},
        {"JPEG start only", "\xFF\xD8\xFF"},
        {"truncated PNG", image::PNGImage::encode(picture(8, 8))->substr(0, 30)},
        {"over 20,000,000 bytes", oversized},
        {"declared too large", declaredHuge},
        {"side over the limit", *wide},
        {"over 40 megapixels", *manyPixels},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(QQNowPlaying::displayArtwork(bytes));
    }
}

TEST(LibraryTrackTest, EqualityIsMemberwise) {
    const QQNowPlaying::LibraryTrack a{"Café", "A / B", "Album", 200, "mid", std::nullopt};
    auto b = a;
    b.title = "Cafe\u0301";
    EXPECT_EQ(a, b);
    b = a;
    b.albumMid = "";
    EXPECT_NE(a, b);
    b = a;
    b.duration = 200.5;
    EXPECT_NE(a, b);
    b = a;
    b.artist = "A/B";
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace veltrane::media
