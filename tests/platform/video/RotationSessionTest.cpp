#include <gtest/gtest.h>

#include <random>

#include "platform/video/PixelBufferPool.h"
#include "platform/video/RotationSession.h"

using namespace veltrane::video;
using Bytes = std::vector<std::uint8_t>;

TEST(RotationSession, TurnsA4x2PictureClockwise) {
    PixelBuffer source(4, 2);
    source.bytes = {1,  2,  3,  4,    //
                    5,  6,  7,  8,    //
                    10, 11, 20, 21};  // two Cb/Cr pairs
    PixelBuffer turned(2, 4);
    ASSERT_EQ(rotateClockwise(source, turned), 0);
    // The left column is now the top row, read from the bottom up; chroma
    // moves by whole pairs.
    const Bytes expected = {5,  1,   //
                            6,  2,   //
                            7,  3,   //
                            8,  4,   //
                            10, 11,  //
                            20, 21};
    EXPECT_EQ(turned.bytes, expected);
}

TEST(RotationSession, MatchesAnElementByElementTurnAtEverySize) {
    // Sizes that fill whole 8 x 8 blocks, leave tails in either direction, or
    // are smaller than a block.
    const std::vector<std::pair<int, int>> sizes = {{64, 48}, {70, 38}, {18, 10}, {2, 2}, {16, 34}, {1920, 1080}};
    std::mt19937 random(11);
    for (auto [width, height] : sizes) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        PixelBuffer source(width, height);
        for (auto& byte : source.bytes) byte = static_cast<std::uint8_t>(random());
        PixelBuffer turned(height, width);
        ASSERT_EQ(rotateClockwise(source, turned), 0);
        int wrong = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                wrong += turned.luma()[x * height + (height - 1 - y)] != source.luma()[y * width + x];
        for (int y = 0; y < height / 2; ++y)
            for (int x = 0; x < width / 2; ++x)
                for (int c = 0; c < 2; ++c)
                    wrong += turned.chroma()[x * height + 2 * (height / 2 - 1 - y) + c] !=
                             source.chroma()[y * width + 2 * x + c];
        EXPECT_EQ(wrong, 0);
    }
}

TEST(RotationSession, RefusesSizesItCannotTurnAndEndsWithItsSession) {
    struct Case {
        const char* name;
        int width, height, turnedWidth, turnedHeight;
    };
    const std::vector<Case> cases = {
        {"not swapped", 8, 4, 8, 4},
        {"another size", 8, 4, 4, 10},
        {"odd width", 7, 4, 4, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PixelBuffer source(c.width, c.height), turned(c.turnedWidth, c.turnedHeight);
        EXPECT_EQ(rotateClockwise(source, turned), -1);
    }
    RotationSession session;
    PixelBuffer source(8, 4), turned(4, 8);
    EXPECT_EQ(session.rotate(source, turned), 0);
    session.invalidate();
    EXPECT_EQ(session.rotate(source, turned), -1);
}

TEST(PixelBufferPool, HandsOutItsPicturesUntilNoneIsFree) {
    PixelBufferPool pool(4, 2, 6);
    std::vector<std::shared_ptr<PixelBuffer>> out;
    for (int i = 0; i < 6; ++i) {
        out.push_back(pool.take());
        ASSERT_NE(out.back(), nullptr);
        EXPECT_EQ(out.back()->width, 4);
        EXPECT_EQ(out.back()->luma()[0], 0) << "a new picture is black";
        EXPECT_EQ(out.back()->chroma()[0], 128);
    }
    EXPECT_EQ(pool.take(), nullptr);
    PixelBuffer* returned = out[2].get();
    out[2].reset();
    auto again = pool.take();
    EXPECT_EQ(again.get(), returned) << "the returned picture is handed out again";
    EXPECT_EQ(pool.take(), nullptr);
}

TEST(PixelBufferPool, PicturesOutliveTheirPool) {
    std::shared_ptr<PixelBuffer> kept;
    {
        PixelBufferPool pool(4, 2, 1);
        kept = pool.take();
    }
    ASSERT_NE(kept, nullptr);
    kept->luma()[0] = 7;  // still the picture's own memory
    kept.reset();
}
