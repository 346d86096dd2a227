#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>

#include "ControlDeckCore/server/pairing/QRCodePNG.h"
#include "platform/process/Shell.h"
#include "tests/support/TempDirectory.h"

using veltrane::deck::QRCodePNG;
using veltrane::process::Shell;

namespace {

constexpr const char* kZbarimg = "/usr/bin/zbarimg";  // Debian zbar-tools

std::uint32_t bigEndian32(const std::string& bytes, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes.at(at + i));
    return v;
}

struct PNGSize {
    std::uint32_t width = 0, height = 0;
};

// Width and height from the IHDR chunk that must follow the signature.
PNGSize pngSize(const std::string& png) {
    EXPECT_GE(png.size(), 24u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    if (png.size() < 24) return {};
    return {bigEndian32(png, 16), bigEndian32(png, 20)};
}

std::string decode(const std::string& png) {
    veltrane::testing::TempDirectory temp;
    auto path = temp.path() / "code.png";
    std::ofstream(path, std::ios::binary) << png;
    auto result = Shell::run(kZbarimg, {"--raw", "-q", path.string()}, 60);
    EXPECT_EQ(result.status, 0) << "zbarimg found no code: " << result.stderr;
    std::string text = result.stdout;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

}  // namespace

TEST(QRCodePNG, PairingURLDecodesBackExactly) {
    ASSERT_TRUE(std::ifstream(kZbarimg).good()) << "install zbar-tools (scripts/debian-packages.txt)";
    const std::string urls[] = {
        "http://192.168.1.23:8742/#/pair?code=004271&sid=3F2504E0-4F89-41D3-9A0C-0305E82C3301",
        "http://127.0.0.1:8741/#/pair?code=999999&sid=A",
    };
    for (const auto& url : urls) {
        auto png = QRCodePNG::make(url, 10);
        ASSERT_FALSE(png.empty()) << url;
        auto size = pngSize(png);
        EXPECT_EQ(size.width, size.height);
        EXPECT_EQ(size.width % 10, 0u);
        // Version v has 17 + 4v modules, plus a quiet zone of 4 on each side.
        std::uint32_t modules = size.width / 10 - 8;
        EXPECT_TRUE(modules >= 21 && (modules - 17) % 4 == 0) << modules;
        EXPECT_EQ(decode(png), url);
    }
}

TEST(QRCodePNG, EachModuleIsScaledByTheFactor) {
    const std::string text = "http://127.0.0.1:8742/";
    auto one = pngSize(QRCodePNG::make(text, 1));
    auto ten = pngSize(QRCodePNG::make(text, 10));
    auto three = pngSize(QRCodePNG::make(text, 2.6));  // whole pixels
    ASSERT_GT(one.width, 0u);
    EXPECT_EQ(ten.width, one.width * 10);
    EXPECT_EQ(three.width, one.width * 3);
}

TEST(QRCodePNG, FailureYieldsEmptyData) {
    struct Case {
        const char* why;
        std::string text;
        double scale;
    } cases[] = {
        {"no text", "", 10},
        {"more than a QR code holds at level M", std::string(2400, 'x'), 10},
        {"zero scale", "http://x/", 0},
        {"scale rounds to zero", "http://x/", 0.4},
        {"negative scale", "http://x/", -10},
        {"scale not a number", "http://x/", std::numeric_limits<double>::quiet_NaN()},
        {"infinite scale", "http://x/", std::numeric_limits<double>::infinity()},
        {"image too large", "http://x/", 1e6},
    };
    for (const auto& c : cases) EXPECT_TRUE(QRCodePNG::make(c.text, c.scale).empty()) << c.why;
}
