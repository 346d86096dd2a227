#include <gtest/gtest.h>

#include "helpers/halvorn/CaptureError.h"
#include "helpers/halvorn/Options.h"

using veltrane::halvorn::CaptureError;
using veltrane::halvorn::Options;

namespace {

const std::vector<std::string> kValid = {"--display-id", "5", "--width", "1280", "--height", "720",
                                         "--fps",        "30", "--bitrate", "4000000"};

std::vector<std::string> with(std::vector<std::string> arguments, std::initializer_list<std::string> more) {
    arguments.insert(arguments.end(), more);
    return arguments;
}

std::string failure(const std::vector<std::string>& arguments) {
    try {
        Options::parse(arguments);
    } catch (const CaptureError& error) {
        return error.description();
    }
    return "";
}

}  // namespace

TEST(HalvornOptions, ReportsTheFirstFailingRequiredOption) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"no arguments", {}, "Missing or invalid --display-id"},
        {"fps last", {"--display-id", "1", "--width", "2", "--height", "2", "--bitrate", "9", "--fps"},
         "Missing or invalid --fps"},
        {"fps abc", {"--display-id", "1", "--width", "2", "--height", "2", "--fps", "abc", "--bitrate", "9"},
         "Missing or invalid --fps"},
        {"fps empty", {"--display-id", "1", "--width", "2", "--height", "2", "--fps", "", "--bitrate", "9"},
         "Missing or invalid --fps"},
        {"width and fps bad: width first", {"--display-id", "1", "--width", "x", "--height", "2", "--fps", "y"},
         "Missing or invalid --width"},
        {"fps 0 would divide by zero", {"--display-id", "1", "--width", "2", "--height", "2", "--fps", "0", "--bitrate", "9"},
         "Missing or invalid --fps"},
        {"negative height", {"--display-id", "1", "--width", "2", "--height", "-2", "--fps", "3", "--bitrate", "9"},
         "Missing or invalid --height"},
        {"zero bit rate", {"--display-id", "1", "--width", "2", "--height", "2", "--fps", "3", "--bitrate", "0"},
         "Missing or invalid --bitrate"},
        {"width beyond 32 bits", {"--display-id", "1", "--width", "2147483648", "--height", "2", "--fps", "3", "--bitrate", "9"},
         "Missing or invalid --width"},
        {"display beyond 32 bits unsigned", {"--display-id", "4294967296", "--width", "2", "--height", "2", "--fps", "3", "--bitrate", "9"},
         "Missing or invalid --display-id"},
        {"negative display", {"--display-id", "-1", "--width", "2", "--height", "2", "--fps", "3", "--bitrate", "9"},
         "Missing or invalid --display-id"},
        {"beyond 64 bits", {"--display-id", "99999999999999999999", "--width", "2"}, "Missing or invalid --display-id"},
        {"sign alone", {"--display-id", "+", "--width", "2"}, "Missing or invalid --display-id"},
        {"space inside", {"--display-id", " 5", "--width", "2"}, "Missing or invalid --display-id"},
        {"the first occurrence counts", with(kValid, {"--display-id", "x"}), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(failure(c.arguments), c.message);
    }
}

TEST(HalvornOptions, ReadsValuesSignsFlagsAndTheFirstOccurrence) {
    auto options = Options::parse({"--hevc", "--display-id", "+4294967295", "--width", "1280", "--width", "640",
                                   "--height", "720", "--fps", "30", "--bitrate", "+8000000", "--length-prefix"});
    EXPECT_EQ(options.displayID, 4294967295u);
    EXPECT_EQ(options.width, 1280) << "the value after the first --width";
    EXPECT_EQ(options.height, 720);
    EXPECT_EQ(options.fps, 30);
    EXPECT_EQ(options.bitrate, 8000000);
    EXPECT_TRUE(options.lengthPrefixed);
    EXPECT_TRUE(options.hevc);
    EXPECT_FALSE(options.rotateClockwise);
    EXPECT_FALSE(options.hasSourceRect());
}

TEST(HalvornOptions, SourceRectangleNeedsAllFourAndAPositiveSize) {
    struct Case {
        const char* name;
        std::vector<std::string> extra;
        bool rect;
    };
    const std::vector<Case> cases = {
        {"all four", {"--source-x", "-10", "--source-y", "0", "--source-width", "800", "--source-height", "600"}, true},
        {"three of four", {"--source-x", "0", "--source-y", "0", "--source-width", "800"}, false},
        {"zero width", {"--source-x", "0", "--source-y", "0", "--source-width", "0", "--source-height", "600"}, false},
        {"invalid y", {"--source-x", "0", "--source-y", "y", "--source-width", "8", "--source-height", "6"}, false},
        {"y beyond 32 bits",
         {"--source-x", "0", "--source-y", "4294967296", "--source-width", "8", "--source-height", "6"},
         true},
        {"y beyond 64 bits",
         {"--source-x", "0", "--source-y", "9223372036854775808", "--source-width", "8", "--source-height", "6"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto arguments = kValid;
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
        auto options = Options::parse(arguments);
        EXPECT_EQ(options.hasSourceRect(), c.rect);
        if (c.rect && c.extra[1] == "-10") {
            EXPECT_EQ(*options.sourceX, -10);
            EXPECT_EQ(*options.sourceWidth, 800);
            EXPECT_EQ(*options.sourceHeight, 600);
        }
        if (c.rect && c.extra[3] == "4294967296") {
            EXPECT_EQ(*options.sourceY, 4294967296);
        }
    }
}

TEST(HalvornOptions, IntegersAreSignedDecimalWithinSixtyFourBits) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> value;
    };
    const std::vector<Case> cases = {
        {"0", 0}, {"+5", 5}, {"-5", -5}, {"007", 7},
        {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt}, {"-9223372036854775809", std::nullopt},
        {"", std::nullopt}, {"-", std::nullopt}, {"1e3", std::nullopt}, {"0x10", std::nullopt}, {"+-1", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Options::parseInteger(c.text), c.value);
    }
}
