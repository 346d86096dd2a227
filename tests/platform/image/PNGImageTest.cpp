#include <gtest/gtest.h>

#include <fstream>

#include "platform/image/IconRenderer.h"
#include "platform/image/PNGImage.h"
#include "platform/system/TemporaryFolder.h"

using namespace veltrane;
using image::PNGImage;
using image::RGBAImage;

namespace {

RGBAImage pattern(int width, int height) {
    RGBAImage img{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4)};
    for (std::size_t i = 0; i < img.pixels.size(); ++i) img.pixels[i] = static_cast<std::uint8_t>(i * 7 + i / 4);
    return img;
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

const std::uint8_t* pixel(const RGBAImage& img, int x, int y) {
    return &img.pixels[(static_cast<std::size_t>(y) * img.width + x) * 4];
}

}  // namespace

TEST(PNGImage, RoundTripsPixelsExactly) {
    auto img = pattern(5, 3);
    auto png = PNGImage::encode(img);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto back = PNGImage::decode(*png);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, 5);
    EXPECT_EQ(back->height, 3);
    EXPECT_EQ(back->pixels, img.pixels);
}

TEST(PNGImage, RefusesInconsistentImagesAndBrokenBytes) {
    EXPECT_FALSE(PNGImage::encode(RGBAImage{0, 0, {}}));
    EXPECT_FALSE(PNGImage::encode(RGBAImage{2, 2, std::vector<std::uint8_t>(15)}));
    EXPECT_FALSE(PNGImage::encode(RGBAImage{PNGImage::kMaxSide + 1, 1, {}}));
    auto png = *PNGImage::encode(pattern(4, 4));
    EXPECT_FALSE(PNGImage::decode(png.substr(0, png.size() / 2)));
    EXPECT_FALSE(PNGImage::decode("not a png"));
    EXPECT_FALSE(PNGImage::decode(""));
}

TEST(IconRenderer, FitsSVGAndPNGIntoTheSquareKeepingTheirShape) {
    auto folder = *sys::TemporaryFolder::create("icon-test-");
    // A wide red bar: fitted into 64x64 it fills the middle rows only.
    writeFile(folder.path() / "wide.svg",
              R"(<svg xmlns="http://www.w3.org/2000/svg" width="40" height="20">)"
              R"(<rect width="40" height="20" fill="#ff0000"/></svg>)");
    RGBAImage green{8, 4, {}};
    for (int i = 0; i < 32; ++i) green.pixels.insert(green.pixels.end(), {0, 255, 0, 255});
    writeFile(folder.path() / "wide.png", *PNGImage::encode(green));

    struct Case {
        const char* file;
        std::uint8_t r, g, b;
    };
    for (auto c : {Case{"wide.svg", 255, 0, 0}, Case{"wide.png", 0, 255, 0}}) {
        SCOPED_TRACE(c.file);
        auto png = image::IconRenderer::renderPNG(folder.path() / c.file, 64);
        ASSERT_TRUE(png);
        auto img = PNGImage::decode(*png);
        ASSERT_TRUE(img);
        EXPECT_EQ(img->width, 64);
        EXPECT_EQ(img->height, 64);
        const std::uint8_t* centre = pixel(*img, 32, 32);
        EXPECT_EQ(centre[0], c.r);
        EXPECT_EQ(centre[1], c.g);
        EXPECT_EQ(centre[2], c.b);
        EXPECT_EQ(centre[3], 255);
        EXPECT_EQ(pixel(*img, 32, 2)[3], 0) << "the band above the bar stays transparent";
    }
}

TEST(IconRenderer, RefusesWhatIsNotAnIcon) {
    auto folder = *sys::TemporaryFolder::create("icon-test-");
    writeFile(folder.path() / "broken.svg", "<svg");
    writeFile(folder.path() / "broken.png", "garbage");
    writeFile(folder.path() / "icon.xpm", "/* XPM */");
    for (const char* name : {"broken.svg", "broken.png", "icon.xpm", "missing.png"})
        EXPECT_FALSE(image::IconRenderer::renderPNG(folder.path() / name, 64)) << name;
}
