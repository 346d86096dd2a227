#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/crypto/Crypto.h"

using namespace veltrane::crypto;

TEST(Crypto, KnownDigestsAndEncodings) {
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");  // two blocks
    auto s1 = sha1("abc");
    EXPECT_EQ(hex(s1.data(), s1.size()), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(randomBytes(32).size(), 32u);
    EXPECT_NE(randomBytes(16), randomBytes(16));
}

TEST(Crypto, Base64DecodingIsStrict) {
    for (const std::string& bytes :
         std::vector<std::string>{"", "f", "fo", "foo", "foob", "fooba", "foobar", std::string("\xFF\x00\xFE", 3)})
        EXPECT_EQ(base64Decoded(base64(bytes)), bytes);
    for (const char* bad : {"Zg=", "Zg", "Z===", "Zm9v YmFy", "Zm9v\nYmFy", "Zg==Zg==", "Zm9-", "=Zg=", "/8==", "Zm9="}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(base64Decoded(bad));
    }
}
