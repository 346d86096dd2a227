#include <gtest/gtest.h>

#include "platform/crypto/Crypto.h"

using namespace veltrane::crypto;

TEST(Crypto, KnownDigestsAndEncodings) {
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    auto s1 = sha1("abc");
    EXPECT_EQ(hex(s1.data(), s1.size()), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(randomBytes(32).size(), 32u);
    EXPECT_NE(randomBytes(16), randomBytes(16));
}
