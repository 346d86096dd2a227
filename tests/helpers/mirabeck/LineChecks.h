#pragma once
// What a line says when nothing plays, checked the same way on the fakes and
// on a real bus.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace veltrane::testing {

inline void expectNothingPlaying(const nlohmann::json& line) {
    ASSERT_TRUE(line.is_object());
    EXPECT_EQ(line["ok"], false);
    EXPECT_EQ(line["playing"], false);
    EXPECT_EQ(line["pid"], 0);
    for (const char* key : {"duration", "elapsed", "rawElapsed", "playbackRate"}) EXPECT_EQ(line[key], 0) << key;
    EXPECT_EQ(line["elapsedKnown"], false);
    EXPECT_TRUE(line["elapsedAt"].is_number_integer());
    for (const char* key : {"title", "artist", "album", "liked", "artwork", "source", "bundleId"})
        EXPECT_FALSE(line.contains(key)) << key;
}

}  // namespace veltrane::testing
