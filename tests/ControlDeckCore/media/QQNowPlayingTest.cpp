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

using Track = QQNowPlaying::LibraryTrack;

TEST(QQSongDescriptionTest, ReadsEveryLabelPairAndTrimsTheSeparator) {
    struct Case {
        const char* text;
        std::optional<std::pair<std::string, std::string>> expected;
    };
    const Case cases[] = {
        {"歌曲名：晴天 - 歌手名：周杰伦", std::pair{"晴天", "周杰伦"}},
        {"  歌曲名:Rain — 歌手名: A / B \n", std::pair{"Rain", "A / B"}},
        {"歌名：夜曲－歌手：周杰伦", std::pair{"夜曲", "周杰伦"}},
        {"SONG: Hello – ARTIST: Adele", std::pair{"Hello", "Adele"}},
        {"now title: x - artist: y", std::pair{"x", "y"}},
        {"歌曲名：晴天 - 歌手名：", std::pair{"晴天", ""}},
        // Only dashes between the labels: the later rows get their turn.
        {"歌曲名： - – 歌手名：A Song: B Artist: C", std::pair{"B", "C"}},
        {"歌曲名： - 歌手名：A", std::nullopt},
        {"歌曲名：晴天", std::nullopt},
        {"   ", std::nullopt},
        {"歌手名：A 歌曲名：B", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto parsed = QQNowPlaying::parseSongDescription(c.text);
        ASSERT_EQ(parsed.has_value(), c.expected.has_value());
        if (!parsed) continue;
        EXPECT_EQ(parsed->title, c.expected->first);
        EXPECT_EQ(parsed->artist, c.expected->second);
    }
}

TEST(QQPlayerLabelsTest, PlayButtonsAndFavourites) {
    struct Button {
        const char* label;
        bool playButton;
        bool playing;
    };
    const Button buttons[] = {
        {"暂停", true, true},       {"播放", true, false},
        {" Pause ", true, true},    {"Pause current song", false, true},
        {"Play", true, false},      {"暂停播放", true, true},
        {"播放模式", false, false}, {"播放列表", false, false},
        {"播放控制", false, false}, {"play", false, false},
    };
    for (const auto& b : buttons) {
        SCOPED_TRACE(b.label);
        EXPECT_EQ(QQNowPlaying::isPlayButton(b.label), b.playButton);
        EXPECT_EQ(QQNowPlaying::isPlaying(b.label), b.playing);
    }
    const std::pair<const char*, std::optional<bool>> favourites[] = {
        {"取消喜欢", true},      {" Unlike\n", true},      {"LIKE", false},    {"喜欢", false},
        {"Liked", std::nullopt}, {"我喜欢", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& [label, expected] : favourites) {
        SCOPED_TRACE(label);
        EXPECT_EQ(QQNowPlaying::favoriteStatus(label), expected);
    }
}

TEST(QQLibraryLookupsTest, BestTrackNeedsOneSongForTitleAndArtist) {
    const std::vector<Track> queue = {
        {"Other", "A", std::nullopt, 0, "m0", std::nullopt},
        {"Song", "B / A", "X", 200, "m1", std::nullopt},
        {"song ", "A/B", "Y", 201, "m1", std::nullopt},
        {"Song", "A / B", std::nullopt, 0, std::nullopt, std::nullopt},
    };
    const auto best = QQNowPlaying::bestLibraryTrack(" SONG", "a / b", queue);
    ASSERT_TRUE(best);
    EXPECT_EQ(best->album, "X") << "the first of the same song";
    EXPECT_FALSE(QQNowPlaying::bestLibraryTrack("Song", std::nullopt, queue));
    EXPECT_FALSE(QQNowPlaying::bestLibraryTrack(" ", "A", queue));

    auto ambiguous = queue;
    ambiguous.push_back({"Song", "A / B", std::nullopt, 0, "m2", std::nullopt});
    EXPECT_FALSE(QQNowPlaying::bestLibraryTrack("Song", "A / B", ambiguous));
}

TEST(QQLibraryLookupsTest, ContradictionByAlbumOrLength) {
    const Track track{"T", "A", " Album ", 204, "m", std::nullopt};
    struct Case {
        const char* name;
        std::optional<std::string> album;
        double duration;
        bool contradicts;
    };
    const Case cases[] = {
        {"same album in other case", "album", 0, false},
        {"other album", "Other", 204, true},
        {"4 s longer", std::nullopt, 200, true},
        {"3 s off", std::nullopt, 201, false},
        {"unknown length", "", 0.5, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QQNowPlaying::Snapshot reading;
        reading.album = c.album;
        reading.duration = c.duration;
        EXPECT_EQ(QQNowPlaying::libraryRecordingContradicts(reading, track), c.contradicts);
    }
    QQNowPlaying::Snapshot reading;
    reading.duration = 200;
    EXPECT_FALSE(QQNowPlaying::libraryRecordingContradicts(reading, Track{"T", "A", std::nullopt, 0, {}, {}}));
}

TEST(QQLibraryLookupsTest, NeighboursAreTheNextTwoThenThePrevious) {
    const std::vector<Track> queue = {
        {"a", "", {}, 0, "a", {}}, {"b", "", {}, 0, "b", {}}, {"c", "", {}, 0, std::nullopt, {}},
        {"d", "", {}, 0, "b", {}}, {"e", "", {}, 0, "", {}},  {"f", "", {}, 0, "f", {}},
    };
    const auto titles = [&](std::string_view mid) {
        std::string out;
        for (const auto& track : QQNowPlaying::neighboringTracks(mid, queue)) out += track.title;
        return out;
    };
    EXPECT_EQ(titles("a"), "b");  // c has no id
    EXPECT_EQ(titles("b"), "a");  // c has none, d is the same song
    EXPECT_EQ(titles("f"), "");   // e's id is empty
    EXPECT_EQ(titles("zz"), "");
    const std::vector<Track> two = {{"x", "", {}, 0, "x", {}}, {"y", "", {}, 0, "y", {}}, {"z", "", {}, 0, "z", {}}};
    EXPECT_EQ(QQNowPlaying::neighboringTracks("x", two).size(), 2u);
    EXPECT_EQ(QQNowPlaying::neighboringTracks("z", two).front().title, "y");
}

TEST(QQEnrichTest, CompletesFromTheMatchingEntryOnly) {
    const std::vector<Track> queue = {{"晴天", "周杰伦", "叶惠美", 269, "songA", "albumA"}};
    auto reading = QQNowPlaying::reading("晴天", "周杰伦", true, std::nullopt, 10);
    const auto enriched = QQNowPlaying::enrich(reading, queue);
    EXPECT_EQ(enriched.duration, 269);
    EXPECT_EQ(enriched.album, "叶惠美");
    EXPECT_EQ(enriched.artist, "周杰伦");
    EXPECT_EQ(enriched.songMid, "songA");
    EXPECT_EQ(enriched.albumMid, "albumA");

    const std::vector<Track> richer = {{"晴天", "周杰伦 / 合唱", "叶惠美", 269, "songA", "albumA"}};
    auto duet = QQNowPlaying::reading("晴天", "合唱 / 周杰伦", true, std::nullopt, 10);
    EXPECT_EQ(QQNowPlaying::enrich(duet, richer).songMid, "songA");

    auto known = reading;
    known.duration = 270;
    known.album = "Live";
    EXPECT_EQ(QQNowPlaying::enrich(known, queue), known) << "another album: untouched";
    known.album = "叶惠美";
    EXPECT_EQ(QQNowPlaying::enrich(known, queue).duration, 270) << "a known length stays";

    auto named = reading;
    named.songMid = " other ";
    EXPECT_EQ(QQNowPlaying::enrich(named, queue), named);
    named.songMid = "$null";
    const auto blank = QQNowPlaying::enrich(named, queue);
    EXPECT_EQ(blank.songMid, "$null") << "a present id stays";
    EXPECT_EQ(blank.albumMid, "albumA");

    auto untitled = QQNowPlaying::reading(std::nullopt, "周杰伦", true, std::nullopt, 10);
    EXPECT_EQ(QQNowPlaying::enrich(untitled, queue), untitled);
}

TEST(QQReadingTest, FixedFields) {
    const auto playing = QQNowPlaying::reading("T", "A", true, true, 5);
    EXPECT_EQ(playing.source, "QQ音乐");
    EXPECT_EQ(playing.bundleId, "com.tencent.QQMusicMac");
    EXPECT_EQ(playing.playbackRate, 1.0);
    EXPECT_FALSE(playing.elapsedKnown);
    EXPECT_FALSE(playing.album);
    EXPECT_EQ(QQNowPlaying::reading("T", "A", false, std::nullopt, 5).playbackRate, 0.0);
}

}  // namespace
}  // namespace veltrane::media
