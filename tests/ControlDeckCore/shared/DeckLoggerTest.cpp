#include <gtest/gtest.h>

#include <regex>

#include "ControlDeckCore/shared/DeckLogger.h"

using veltrane::deck::DeckLogger;

TEST(DeckLogger, RedactsTokenLikeValues) {
    struct Row {
        const char* in;
        const char* out;
    };
    const Row rows[] = {
        // each key
        {"deviceToken=abcdefgh", "deviceToken=***"},
        {"session: ABCDEFGH12 next", "session=*** next"},
        {"token=abcdefgh", "token=***"},
        {"secret='abc_def-gh'", "secret=***'"},
        {"authorization: abcd/efg+h=", "authorization=***"},
        {"Authorization: Bearer abcdefgh.rest", "Authorization: Bearer=***.rest"},
        // seven token characters are not enough
        {"token=abcdefg", "token=abcdefg"},
        // JSON member: the value's quotes and colon disappear between the quotes
        {R"({"deviceToken":"0123456789abcdef","name":"Tab"})", R"({"deviceToken=***","name":"Tab"})"},
        // case-sensitive, no word boundary
        {"Token=abcdefghij", "Token=abcdefghij"},
        {"accesstoken=abcdefghij", "accesstoken=***"},
        // "=" belongs to both sets: a run of them can start the token
        {"token=======ab", "token=***"},
        {"token:======ab", "token=***"},
        {"token:=ab", "token:=ab"},
        // a run of eight "=" that another separator ends is a token of its own
        {"secret='========'===G===", "secret=***'===G==="},
        {"token:=========:abc", "token=***:abc"},
        {"token:=======:abc", "token:=======:abc"},
        {"token:=========\"=========\"x", "token=***\"x"},
        // the key needs a separator
        {"tokenabcdefghij", "tokenabcdefghij"},
        {"sessionId=abcdefghij", "sessionId=abcdefghij"},
        // several matches, text between kept
        {"token=aaaaaaaa and secret=bbbbbbbb!", "token=*** and secret=***!"},
        {"no secrets here", "no secrets here"},
    };
    for (const auto& row : rows) EXPECT_EQ(DeckLogger::redact(row.in), row.out) << row.in;
}

TEST(DeckLogger, RedactsAMegabyteTokenRunWithoutCrashing) {
    std::string line = "token=" + std::string(1 << 20, 'a') + " tail";
    EXPECT_EQ(DeckLogger::redact(line), "token=*** tail");
    std::string separators = "session" + std::string(1 << 20, '=');
    EXPECT_EQ(DeckLogger::redact(separators), "session=***");
    std::string manyKeys;
    for (int i = 0; i < 100000; ++i) manyKeys += "token:ab ";
    EXPECT_EQ(DeckLogger::redact(manyKeys), manyKeys);
}

TEST(DeckLogger, InfoPrefixesAndCallsTheSinkOnce) {
    std::vector<std::string> lines;
    DeckLogger logger([&](const std::string& line) { lines.push_back(line); });
    logger.info("pair token=abcdefghijk ok");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[deck] pair token=*** ok");
}

TEST(DeckLogger, AgreesWithABacktrackingRegexOnRandomText) {
    // Short texts built from the pieces that matter: keys, separators, token
    // characters and a few others. std::regex is fine at this length.
    static const char* pieces[] = {"token", "session", "secret", "Bearer", "deviceToken", "authorization",
                                   "=", "==", ":", " ", "'", "\"", "ab", "abcd", "Z9", "+/", "-_", ".", ",", "Token"};
    std::vector<std::regex> patterns;
    const char* keys[] = {"deviceToken", "session", "token", "secret", "authorization", "Bearer"};
    for (const char* key : keys) patterns.emplace_back(std::string(key) + R"([\"'=: ]+[A-Za-z0-9+/=_\-]{8,})");
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        int count = static_cast<int>(next() >> 28);
        for (int i = 0; i < count; ++i) text += pieces[(next() >> 16) % std::size(pieces)];
        std::string expected = text;
        for (std::size_t k = 0; k < std::size(keys); ++k)
            expected = std::regex_replace(expected, patterns[k], std::string(keys[k]) + "=***");
        ASSERT_EQ(DeckLogger::redact(text), expected) << "input: " << text;
    }
}
