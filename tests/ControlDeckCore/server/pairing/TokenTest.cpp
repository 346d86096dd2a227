#include <gtest/gtest.h>

#include <set>

#include "ControlDeckCore/server/pairing/Token.h"

using veltrane::deck::Token;

namespace {
bool allOf(const std::string& text, const char* alphabet) {
    return text.find_first_not_of(alphabet) == std::string::npos;
}
constexpr const char* kDigits = "0123456789";
constexpr const char* kURLSafe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
}  // namespace

TEST(Token, CodeFromRandomValueKeepsLeadingZeros) {
    struct Case {
        std::uint32_t value;
        const char* code;
    } cases[] = {
        {0, "000000"},       {7, "000007"},          {999, "000999"},        {99'999, "099999"},
        {1'000'000, "000000"}, {123'456'789, "456789"}, {0xFFFFFFFFu, "967295"},
    };
    for (const auto& c : cases) EXPECT_EQ(Token::codeFromRandom(c.value), c.code) << c.value;
}

TEST(Token, PairingCodesAreSixAsciiDigits) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        auto code = Token::pairingCode();
        ASSERT_EQ(code.size(), 6u) << code;
        ASSERT_TRUE(allOf(code, kDigits)) << code;
        seen.insert(code);
    }
    EXPECT_GT(seen.size(), 150u) << "codes must come from a random source";
}

TEST(Token, RandomTokensAreUnpaddedURLSafeBase64) {
    struct Case {
        std::size_t bytes;
        std::size_t length;
    } cases[] = {{0, 0}, {1, 2}, {2, 3}, {3, 4}, {32, 43}};
    for (const auto& c : cases) {
        auto token = Token::random(c.bytes);
        EXPECT_EQ(token.size(), c.length) << c.bytes;
        EXPECT_TRUE(allOf(token, kURLSafe)) << token;
    }

    // Across 100 tokens (4,300 characters) each of the two substituted
    // characters turns up for certain; a token that merely dropped "+" and
    // "/" would be shorter and never show them.
    std::string all;
    std::set<std::string> distinct;
    for (int i = 0; i < 100; ++i) {
        auto token = Token::random(32);
        all += token;
        distinct.insert(token);
    }
    EXPECT_NE(all.find('-'), std::string::npos);
    EXPECT_NE(all.find('_'), std::string::npos);
    EXPECT_EQ(distinct.size(), 100u);
}

TEST(Token, Sha256IsLowerCaseHexOfTheUTF8Bytes) {
    struct Case {
        const char* text;
        const char* hash;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"\u00E9", "4a99557e4033c3539de2eb65472017cad5f9557f7a0625a09f1c3f6e2ba69c4c"},
        {"123456", "8d969eef6ecad3c29a3a629280e686cf0c3f5d5a86aff3ca12020c923adc6c92"},
    };
    for (const auto& c : cases) EXPECT_EQ(Token::sha256(c.text), c.hash) << c.text;
}

TEST(Token, TimingSafeEqualComparesWholeValues) {
    const std::string hash = Token::sha256("token");
    std::string firstDiffers = hash;
    firstDiffers.front() ^= 1;
    std::string lastDiffers = hash;
    lastDiffers.back() ^= 1;
    struct Case {
        std::string a, b;
        bool equal;
    } cases[] = {
        {"", "", true},
        {hash, hash, true},
        {hash, firstDiffers, false},
        {hash, lastDiffers, false},
        {"abc", "abcd", false},  // a prefix is not equal
        {"abcd", "abc", false},
        {"", "a", false},
        {std::string("a\0b", 3), std::string("a\0c", 3), false},  // bytes after a NUL count
        {"\u00E9", "e\u0301", false},                           // same look, other bytes
    };
    for (const auto& c : cases) EXPECT_EQ(Token::timingSafeEqual(c.a, c.b), c.equal) << c.a << " / " << c.b;
}
