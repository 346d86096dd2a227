#include "ControlDeckCore/lyrics/LyricsAnswers.h"

#include <gtest/gtest.h>

namespace veltrane::lyrics {
namespace {

using nlohmann::json;

std::string lrc(int lines) {
    std::string out;
    for (int i = 0; i < lines; ++i) out += "[00:" + std::to_string(10 + i) + ".00]line " + std::to_string(i) + "\n";
    return out;
}

TEST(LyricsAnswersTest, BodiesDecodeToObjectsAndArraysOnly) {
    struct Case {
        std::string body;
        std::optional<json> expected;
    };
    const Case cases[] = {
        {R"({"a":1})", json{{"a", 1}}},
        {" \n callback({\"a\":1})", json{{"a", 1}}},
        {"jsonp1(MusicJsonCallback({\"a\":{\"b\":2}}))", json{{"a", {{"b", 2}}}}},
        {"MusicJsonCallback([1,{\"a\":2}])", json{{"a", 2}}},  // first "{" to last "}"
        {"callback(} {)", std::nullopt},                       // braces the wrong way round
        {"callback([1])", std::nullopt},                       // no braces: parsed as received
        {"[1]", json::array({1})},
        {"42", std::nullopt},
        {"\"text\"", std::nullopt},
        {"", std::nullopt},
        {"\xFF{\"a\":1}", std::nullopt},
        {std::string(600, '[') + std::string(600, ']'), std::nullopt},  // deeper than the nesting limit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 40));
        const auto value = LyricsLookup::decodeJSONBody(c.body);
        ASSERT_EQ(value.has_value(), c.expected.has_value());
        if (value) {
            EXPECT_EQ(*value, *c.expected);
        }
    }
}

TEST(LyricsAnswersTest, LrclibRecordToSnapshot) {
    auto snapshot = LyricsLookup::snapshotFromLrclib({{"syncedLyrics", "[00:01.00]A"}, {"plainLyrics", ""}});
    ASSERT_TRUE(snapshot);
    EXPECT_TRUE(snapshot->synced);
    EXPECT_EQ(snapshot->plain, "") << "plain kept as received";

    snapshot = LyricsLookup::snapshotFromLrclib({{"syncedLyrics", "no stamps"}, {"plainLyrics", " words \n"}});
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(*snapshot, (LyricsSnapshot{"lrclib", false, {}, " words \n"}));

    EXPECT_FALSE(LyricsLookup::snapshotFromLrclib({{"syncedLyrics", nullptr}, {"plainLyrics", " \n "}}));
    EXPECT_FALSE(LyricsLookup::snapshotFromLrclib({{"syncedLyrics", 5}, {"plainLyrics", nullptr}}));
    EXPECT_FALSE(LyricsLookup::snapshotFromLrclib(json::array({{{"plainLyrics", "x"}}})));
}

TEST(LyricsAnswersTest, LrclibSearchPicksTheClosestMatchingRecord) {
    auto record = [](json title, json artist, json duration, int id) {
        json r{{"id", id}, {"trackName", title}, {"artistName", artist}};
        if (!duration.is_null()) r["duration"] = duration;
        return r;
    };
    struct Case {
        const char* name;
        json records;
        double duration;
        std::optional<int> chosen;
    };
    const Case cases[] = {
        {"equal distances keep the earlier", json::array({record("T", "A", 101.5, 1), record("T", "A", 98.5, 2)}), 100,
         1},
        {"a closer later record wins", json::array({record("T", "A", 102, 1), record("T", "A", 101, 2)}), 100, 2},
        {"3.0 s is close enough", json::array({record("T", "A", 103, 1)}), 100, 1},
        {"3.01 s is not", json::array({record("T", "A", 103.01, 1)}), 100, std::nullopt},
        {"no length is refused for a known one", json::array({record("T", "A", nullptr, 1), record("T", "A", 0, 2)}),
         100, std::nullopt},
        {"an unknown length takes the first", json::array({record("T", "A", nullptr, 1), record("T", "A", 100, 2)}),
         1.0, 1},
        {"titles are trimmed on the record's side", json::array({record(" T\n", "A", 100, 1)}), 100, 1},
        {"artist keys must agree", json::array({record("T", "B", 100, 1), record("T", " a ", 100, 2)}), 100, 2},
        {"\"name\" and \"artist\" stand in",
         json::array({json{{"name", "T"}, {"artist", "A"}, {"duration", 100}, {"id", 1}}}), 100, 1},
        {"other values are skipped", json::array({"T", 3, record("t", "A", 100, 1)}), 100, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto chosen = LyricsLookup::matchedLrclib(c.records.get<json::array_t>(), "T", "A", c.duration);
        ASSERT_EQ(chosen.has_value(), c.chosen.has_value());
        if (chosen) {
            EXPECT_EQ((*chosen)["id"], *c.chosen);
        }
    }
    EXPECT_FALSE(LyricsLookup::matchedLrclib({record("T", "A", 100, 1)}, "T ", "A", 100))
        << "the given title is not trimmed";
    EXPECT_FALSE(LyricsLookup::matchedLrclib({record("T", nullptr, 100, 1)}, "T", "A", 100));
    EXPECT_TRUE(LyricsLookup::matchedLrclib({record("T", nullptr, 100, 1)}, "T", std::nullopt, 100));
}

TEST(LyricsAnswersTest, LrclibQueries) {
    EXPECT_EQ(LyricsLookup::lrclibSearchQuery("T", ""), (QueryItems{{"q", "T"}}));
    EXPECT_EQ(LyricsLookup::lrclibSearchQuery("", std::nullopt), (QueryItems{{"q", ""}}));
    EXPECT_EQ(LyricsLookup::lrclibGetQuery("", std::nullopt, std::nullopt, 1.0 / 0.0),
              (QueryItems{{"track_name", ""}}));
    EXPECT_EQ(LyricsLookup::lrclibGetQuery("T", "A", "L", 2.5),
              (QueryItems{{"track_name", "T"}, {"artist_name", "A"}, {"album_name", "L"}, {"duration", "3"}}));
}

TEST(LyricsAnswersTest, QQLyricTextUndoesBase64AndEntities) {
    struct Case {
        json value;
        std::string expected;
    };
    const Case cases[] = {
        {"W3RpOnhdCg==", "[ti:x]\n"},
        {" W3Rp\nOnhdCg== ", "[ti:x]\n"},  // characters outside the alphabet are skipped
        {"aGVsbG8=", "aGVsbG8="},          // decodes, but holds no "["
        {"/w==", "/w=="},                  // decodes to bytes that are not UTF-8
        {"[00:01]a&amp;b&nbsp;&lt;c&gt; &quot;d&quot; &apos;e&#39;", "[00:01]a&b <c> \"d\" 'e'"},
        {"&amp;lt;", "&lt;"},
        {"", ""},
        {42, ""},
        {nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.dump());
        EXPECT_EQ(LyricsLookup::qqLyricText(&c.value), c.expected);
    }
    EXPECT_EQ(LyricsLookup::qqLyricText(nullptr), "");
}

TEST(LyricsAnswersTest, QQLyricKeepsTheLongestTimedVariant) {
    auto snapshot = LyricsLookup::qqLyricSnapshot({{"qrc", lrc(12)}, {"lyric", lrc(12) + "[00:00.00]x\n"}});
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->lines.size(), 13u);
    snapshot = LyricsLookup::qqLyricSnapshot({{"qrc", "[00:00.00]qrc\n" + lrc(11)}, {"lyric", lrc(12)}});
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->lines.front().text, "qrc") << "equal counts keep the earlier key";
    EXPECT_EQ(snapshot->provider, "qqmusic");
}

TEST(LyricsAnswersTest, QQLyricWithoutTimesIsPlainOrTheNoticeOnlyForALyricAnswer) {
    struct Case {
        json answer;
        std::optional<std::string> plain;
    };
    const Case cases[] = {
        {{{"lyric", "[ti:x]\nWords [in] text\n"}}, "Words  text"},
        {{{"lyric", "[ti:x]\n[ar:y]"}}, LyricsLookup::kInstrumentalNotice},
        {{{"lyric", ""}}, LyricsLookup::kInstrumentalNotice},
        {json::object(), std::nullopt},
        {{{"code", -1901}, {"msg", "blocked"}}, std::nullopt},
        {{{"lyric", 5}}, std::nullopt},
        {json::array({{{"lyric", "[00:01]x"}}}), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.dump());
        const auto snapshot = LyricsLookup::qqLyricSnapshot(c.answer);
        ASSERT_EQ(snapshot.has_value(), c.plain.has_value());
        if (snapshot) {
            EXPECT_EQ(*snapshot, (LyricsSnapshot{"qqmusic", false, {}, *c.plain}));
        }
    }
}

TEST(LyricsAnswersTest, SmartboxItemsBecomeRows) {
    const json answer = {{"data",
                          {{"song",
                            {{"itemlist", json::array({{{"name", "A"}, {"singer", "S"}},
                                                       {{"mid", ""}, {"name", "B"}},
                                                       {{"mid", "m1"}, {"name", "C"}, {"singer", ""}},
                                                       {{"mid", "m2"}, {"name", 7}, {"singer", "S2"}}})}}}}}};
    EXPECT_EQ(json(LyricsLookup::rowsFromSmartbox(answer)), json::parse(R"([{"songmid":"m1","songname":"C"},
                              {"songmid":"m2","songname":"","singer":[{"name":"S2"}]}])"));
    json broken = answer;
    broken["data"]["song"]["itemlist"].push_back("not an item");
    EXPECT_TRUE(LyricsLookup::rowsFromSmartbox(broken).empty());
    EXPECT_TRUE(LyricsLookup::rowsFromSmartbox({{"data", {{"song", json::array()}}}}).empty());
    EXPECT_FALSE(LyricsLookup::clientSearchRows({{"data", {{"song", {{"list", json::array()}}}}}}));
}

TEST(LyricsAnswersTest, QQScoringPrefersTitleArtistAndLength) {
    auto row = [](const char* mid, const char* name, json interval) {
        json r{{"songmid", mid}, {"songname", name}, {"singer", json::array({{{"name", "Zhou"}}})}};
        if (!interval.is_null()) r["interval"] = interval;
        return r;
    };
    struct Case {
        const char* name;
        json rows;
        double duration;
        std::string chosen;
    };
    const Case cases[] = {
        // 4 + 2 + 1 (5.0 s off) against 4 + 2 - 1.2 (12 s off).
        {"5 s beats 12 s", json::array({row("a", "Song", 212), row("b", "Song", 205)}), 200, "b"},
        // 4 + 2 - 2 (the cap, 30 s) against 1.5 + 2 + 3 (2.0 s).
        {"2 s on a partial title beats the capped loss",
         json::array({row("a", "Song", 230), row("b", "Song Remix", 202)}), 200, "b"},
        {"equal scores keep the earlier", json::array({row("a", "Song", 201), row("b", "Song", 199)}), 200, "a"},
        {"no length scoring when unknown", json::array({row("a", "Song", 500), row("b", "Song", 200)}), 1.0, "a"},
        {"a lone candidate wins", json::array({row("a", "Other", 900)}), 200, "a"},
        {"rows without an id are skipped", json::array({row("", "Song", 200), row("b", "x", 1)}), 200, "b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LyricsLookup::bestQQSongMid(c.rows.get<json::array_t>(), "song", "zhou", c.duration), c.chosen);
    }
    EXPECT_FALSE(LyricsLookup::bestQQSongMid({}, "song", "zhou", 200));
}

TEST(LyricsAnswersTest, QQMatchingTestsTitleLengthAndArtist) {
    auto row = [](const char* mid, const char* name, json interval, const char* singer) {
        json r{{"songmid", mid}, {"songname", name}, {"singer", json::array({{{"name", singer}}})}};
        if (!interval.is_null()) r["interval"] = interval;
        return r;
    };
    struct Case {
        const char* name;
        json row;
        bool kept;
    };
    const Case cases[] = {
        {"3.0 s off", row("a", "晴天", 203, "周杰倫"), true},
        {"3.5 s off", row("a", "晴天", 203.5, "周杰倫"), false},
        {"no length", row("a", "晴天", nullptr, "周杰倫"), true},
        {"simplified title and artist fold alike", row("a", "晴天 - 现场版", 200, "周杰伦"), true},
        {"another artist", row("a", "晴天", 200, "Someone"), false},
        {"another title", row("a", "雨天", 200, "周杰倫"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LyricsLookup::qqRowsMatching({c.row}, "晴天 (Live)", "周杰倫", 200).size(), c.kept ? 1u : 0u);
    }

    int asked = 0;
    auto albumOf = [&](const std::string& mid) {
        ++asked;
        return OptionalText("album-of-" + mid);
    };
    json named = row("m1", "晴天", 269, "周杰倫");
    named["albummid"] = " $null ";
    const auto track = LyricsLookup::matchedQQTrack({named}, "晴天", "周杰倫", 270, albumOf);
    ASSERT_TRUE(track);
    EXPECT_EQ(*track, (LibraryTrack{"晴天", "周杰倫", std::nullopt, 269, "m1", "album-of-m1"}));
    named["albummid"] = "A1";
    named["albumname"] = "Album";
    EXPECT_EQ(LyricsLookup::matchedQQTrack({named}, "晴天", std::nullopt, 0, albumOf), std::nullopt)
        << "an absent artist is compatible only with none";
    EXPECT_EQ(LyricsLookup::matchedQQTrack({named}, "晴天", "周杰倫", 0, albumOf)->albumMid, "A1");
    EXPECT_EQ(asked, 1);
}

TEST(LyricsAnswersTest, AlbumIds) {
    EXPECT_EQ(LyricsLookup::emptyAlbumMid(std::nullopt), std::nullopt);
    EXPECT_EQ(LyricsLookup::emptyAlbumMid(" \n"), std::nullopt);
    EXPECT_EQ(LyricsLookup::emptyAlbumMid("$null"), std::nullopt);
    EXPECT_EQ(LyricsLookup::emptyAlbumMid(" 00x "), "00x");
    EXPECT_EQ(LyricsLookup::sendableSongMid(" 003abc周 "), "003abc周");
    EXPECT_EQ(LyricsLookup::sendableSongMid("00-1"), std::nullopt);
    EXPECT_EQ(LyricsLookup::sendableSongMid("a\"}"), std::nullopt);
    const json detail = json::parse(R"({"songinfo":{"data":{"track_info":{"album":{"mid":"$null","pmid":" p1 "}}}}})");
    EXPECT_EQ(LyricsLookup::albumMidFromSongDetail(detail), "p1");
    EXPECT_EQ(LyricsLookup::albumMidFromSongDetail(json::parse(R"({"songinfo":{"data":{"track_info":[]}}})")),
              std::nullopt);
}

json catalogRow(const std::string& title, const std::string& artist, json millis, json artwork = "https://a/1.jpg") {
    json row{{"trackName", title}, {"artistName", artist}, {"artworkUrl100", artwork}};
    if (!millis.is_null()) row["trackTimeMillis"] = millis;
    return row;
}

TEST(LyricsAnswersTest, CatalogScoresKeepOnlyLikelyRows) {
    struct Case {
        const char* name;
        json row;
        bool kept;
    };
    const Case cases[] = {
        {"artist, other Latin title, 5 to 12 s off", catalogRow("Else", "Alpha", 210000), true},
        {"artist and unknown length", catalogRow("Else", "Alpha", nullptr), true},
        {"title alone", catalogRow("Song", "Beta", nullptr), false},
        {"length alone within 2.0 s", catalogRow("Else", "Beta", 201500), true},
        {"13 s off", catalogRow("Song", "Alpha", 213000), false},
        {"Chinese title 3 s off for a Latin one", catalogRow("晴天", "Alpha", 203000), false},
        {"Chinese title 1.5 s off", catalogRow("晴天", "Alpha", 201500), true},
        {"no artwork", catalogRow("Song", "Alpha", 200000, ""), false},
        {"artist containing the wanted one", catalogRow("Song", "Alpha feat. Gamma", nullptr), true},
        {"no artist text", json{{"trackName", "Song"}, {"artworkUrl100", "x"}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LyricsLookup::CatalogRanking ranking("Song", "Alpha", 200);
        ranking.add({{"results", json::array({c.row})}});
        EXPECT_EQ(ranking.hits().size(), c.kept ? 1u : 0u);
    }

    // Across countries a song is listed once; the best first, ties in order.
    LyricsLookup::CatalogRanking ranking("Song", "Alpha", 200);
    ranking.add({{"results", json::array({catalogRow("Else", "Alpha", 204000, "first"),
                                          catalogRow("Song", "Alpha", 200000, "best"),
                                          catalogRow("Other", "Alpha", 204000, "third")})}});
    ranking.add({{"results", json::array({catalogRow("Song", "Alpha", 200000, "again")})}});
    ranking.add({{"results", "not rows"}});
    std::vector<std::string> order;
    for (const auto& hit : ranking.hits()) order.push_back(hit.artworkURL);
    EXPECT_EQ(order, (std::vector<std::string>{"best", "first", "third"}));
}

TEST(LyricsAnswersTest, CatalogFallbackRowsByCloseness) {
    const json answer = {
        {"results",
         json::array({catalogRow("A", "Alpha", 201900, "far"), catalogRow("B", "Alpha & Beta", 200500, "near"),
                      catalogRow("C", "Beta", 200000, "other artist"), catalogRow("D", "Alpha", 202100, "too far"),
                      catalogRow("E", "Alpha", nullptr, "no length")})}};
    std::vector<std::string> order;
    for (const auto& hit : LyricsLookup::catalogHitsByCloseness(answer, "Alpha", 200)) order.push_back(hit.artworkURL);
    EXPECT_EQ(order, (std::vector<std::string>{"near", "far"}));
}

TEST(LyricsAnswersTest, PlayerAnswerMustBeTheTrackAskedAbout) {
    const std::string lyrics = "[00:01.00]Hello\n[00:02.00]World";
    struct Case {
        const char* name;
        OptionalText answer;
        OptionalText album;
        std::optional<bool> synced;
    };
    const Case cases[] = {
        {"synced", "Song\tB, A\tAlbum\n" + lyrics, "Album", true},
        {"plain", "Song\tA, B\tAlbum\nJust words\n", "Album", false},
        {"no album on one side", "Song\tA, B\t\n" + lyrics, "Album", true},
        {"no album asked", "Song\tA, B\tAlbum\n" + lyrics, std::nullopt, true},
        {"another album", "Song\tA, B\tOther\n" + lyrics, "Album", std::nullopt},
        {"title differs in case", "song\tA, B\tAlbum\n" + lyrics, "Album", std::nullopt},
        {"another artist", "Song\tA\tAlbum\n" + lyrics, "Album", std::nullopt},
        {"no lyrics", "Song\tA, B\tAlbum\n", "Album", std::nullopt},
        {"missing value", "Song\tA, B\tAlbum\nmissing value", "Album", std::nullopt},
        {"stopped or changed", "", "Album", std::nullopt},
        {"no answer", std::nullopt, "Album", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto snapshot = LyricsLookup::musicAnswerSnapshot(c.answer, "Song", "A, B", c.album);
        ASSERT_EQ(snapshot.has_value(), c.synced.has_value());
        if (!snapshot) continue;
        EXPECT_EQ(snapshot->provider, "music");
        EXPECT_EQ(snapshot->synced, *c.synced);
        EXPECT_EQ(snapshot->lines.size(), *c.synced ? 2u : 0u);
        EXPECT_EQ(snapshot->plain, *c.synced ? lyrics : "Just words");
    }
}

TEST(LyricsAnswersTest, JoinedLyricLinesSplitOnlyBeforeTimeStamps) {
    const std::pair<std::string, std::string> cases[] = {
        {"[00:01.00]Hello, [00:02.00]World", "[00:01.00]Hello\n[00:02.00]World"},
        {"[00:01.00]Yes, no, [1:02]maybe, [100:00:500]x", "[00:01.00]Yes, no\n[1:02]maybe\n[100:00:500]x"},
        {"a, [ti:x], [00:1]b, [00:01.]c", "a, [ti:x], [00:1]b, [00:01.]c"},
        {"trailing, ", "trailing, "},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(LyricsLookup::restoredLyricLines(input), expected);
}

}  // namespace
}  // namespace veltrane::lyrics
