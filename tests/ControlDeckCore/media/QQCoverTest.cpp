#include "ControlDeckCore/media/QQCover.h"

#include <gtest/gtest.h>

#include <fstream>

#include "ControlDeckCore/media/MusicContentPolicy.h"
#include "tests/support/LyricsStub.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

namespace veltrane::media::QQNowPlaying {
namespace {

TEST(QQCoverTest, CoverIdsAreTheFirstPieceOfLettersAndDigits) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"abc_def", "abc"},     {" 002xyZ \n", "002xyZ"}, {"__abc_d", "abc"},      {"___", std::nullopt},
        {"../x", std::nullopt}, {"a/b", std::nullopt},    {"ab%2F", std::nullopt}, {"a?b", std::nullopt},
        {"", std::nullopt},     {"ab.jpg", std::nullopt}, {"ö1", std::nullopt},
    };
    for (const auto& [albumMid, expected] : cases) {
        SCOPED_TRACE(albumMid);
        EXPECT_EQ(coverId(albumMid), expected);
    }
}

TEST(QQCoverTest, TheCacheDropsTheLeastRecentlyUsedByCountAndBytes) {
    CoverCache cache(3, 100);
    cache.put("a", std::string(10, 'a'));
    cache.put("b", std::string(10, 'b'));
    cache.put("c", std::string(10, 'c'));
    EXPECT_TRUE(cache.get("a"));  // now the most recent
    cache.put("d", std::string(10, 'd'));
    EXPECT_FALSE(cache.get("b")) << "over the count: the least recent leaves";
    EXPECT_EQ(cache.count(), 3u);

    cache.put("e", std::string(75, 'e'));
    EXPECT_EQ(cache.cost(), 95u);
    EXPECT_FALSE(cache.get("c"));
    EXPECT_TRUE(cache.get("a"));
    cache.put("a", std::string(5, 'x'));  // replaced, not added
    EXPECT_EQ(cache.get("a"), std::string(5, 'x'));
    EXPECT_EQ(cache.cost(), 90u);
    cache.put("huge", std::string(101, 'h'));
    EXPECT_FALSE(cache.get("huge"));
    EXPECT_EQ(cache.count(), 3u);
}

TEST(QQCoverTest, DownloadsOnceAndAsksNothingWhenLookupsAreOff) {
    std::string error;
    auto stub = testing::LyricsStub::start(error);
    ASSERT_TRUE(stub) << error;
    ASSERT_TRUE(stub->setRoutes(nlohmann::json::array(
        {{{"path", "/music/photo_new/T002R300x300M000cov1.jpg"}, {"file", "cover.jpg"}, {"contentType", "image/jpeg"}},
         {{"path", "/music/photo_new/T002R300x300M000bad.jpg"}, {"body", "no image"}}})));

    testing::TempDirectory folder;
    testing::ScopedEnvironment environment;
    const auto info = folder.path() / "Info.json";
    environment.set("VELTRANE_INFO_FILE", info.string());
    std::ofstream(info) << R"({"VeltraneLicensedMusicContent": true})";
    ASSERT_FALSE(MusicContentPolicy::externalLookupsAllowed());
    EXPECT_FALSE(coverJPEG("cov1_x", stub->origin()));
    EXPECT_TRUE(stub->requests().empty());

    std::ofstream(info) << "{}";
    const auto cover = coverJPEG("cov1_x", stub->origin());
    ASSERT_TRUE(cover);
    EXPECT_EQ(cover->substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(coverJPEG(" cov1_x\n", stub->origin()), cover) << "the cache, under the trimmed id";
    EXPECT_EQ(stub->requests().size(), 1u);

    EXPECT_FALSE(coverJPEG("bad", stub->origin())) << "no image in the answer";
    EXPECT_FALSE(coverJPEG("bad", stub->origin()));
    EXPECT_EQ(stub->requests().size(), 3u) << "nothing is cached for a failure";
}

}  // namespace
}  // namespace veltrane::media::QQNowPlaying
