#include <gtest/gtest.h>

#include <string>

#include "ControlDeckCore/transfer/FileTransferNames.h"
#include "ControlDeckCore/transfer/FileTransferService.h"
#include "platform/text/UnicodeText.h"

using veltrane::deck::FileTransferService;

namespace {

std::string repeat(const std::string& piece, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

}  // namespace

TEST(FileTransferNames, SafeNameKeepsOnlyAHarmlessLastComponent) {
    struct Case {
        std::string name, safe;
    } cases[] = {
        {"report.pdf", "report.pdf"},
        {"../x:y.txt", "x-y.txt"},
        {"/etc/passwd", "passwd"},
        {"photos/2024/", "2024"},
        {"a\\b:c.txt", "a-b-c.txt"},
        {std::string("na\0me.txt", 9), "name.txt"},
        {"  \t spaced.txt \n", "spaced.txt"},
        {"\u3000ideographic\u3000", "ideographic"},  // Unicode white space is trimmed too
        {"", "file"},
        {".", "file"},
        {"..", "file"},
        {"   ", "file"},
        {"dir/..", "file"},
        {std::string("\0", 1), "file"},
        {"/", "-"},
        {"a\nb.txt", "a\nb.txt"},  // inner line breaks stay in the name; headers never carry it raw
    };
    for (const auto& c : cases) EXPECT_EQ(FileTransferService::safeName(c.name), c.safe) << c.name;
}

TEST(FileTransferNames, SafeNameCutsAt160Characters) {
    std::string ascii = repeat("a", 200) + ".txt";
    EXPECT_EQ(FileTransferService::safeName(ascii), repeat("a", 160));
    // Characters, not bytes or code points: "é" as e + combining accent is one.
    std::string accented = repeat("e\u0301", 170);
    EXPECT_EQ(FileTransferService::safeName(accented), repeat("e\u0301", 83));  // 83 * 3 bytes fit in 251
    EXPECT_EQ(FileTransferService::safeName(repeat("e\u0301", 50)), repeat("e\u0301", 50));
}

TEST(FileTransferNames, SafeNameFitsAFileNameWithRoomForANumber) {
    // 86 CJK characters are 258 bytes: over the 255-byte limit of a file name.
    std::string cjk = repeat("\u6587", 86) + ".pdf";
    std::string safe = FileTransferService::safeName(cjk);
    EXPECT_LE(safe.size(), FileTransferService::kNameByteLimit);
    EXPECT_EQ(safe, repeat("\u6587", 82) + ".pdf");  // 246 + 4 bytes; the extension stays
    EXPECT_LE(veltrane::deck::transfer::numberedName(safe, 999).size(), FileTransferService::kFileNameByteLimit);

    // Four-byte characters are never split.
    std::string emoji = FileTransferService::safeName(repeat("\U0001F600", 100));
    EXPECT_EQ(emoji, repeat("\U0001F600", 62));

    // An extension too long to keep is cut with the rest.
    std::string longExtension = "a." + repeat("b", 300);
    EXPECT_EQ(FileTransferService::safeName(longExtension), "a." + repeat("b", 158));  // 160 characters
    std::string wideExtension = "a." + repeat("\u6587", 100);
    std::string cut = FileTransferService::safeName(wideExtension);
    EXPECT_EQ(cut, "a." + repeat("\u6587", 83));  // 251 bytes, whole characters

    // One character longer than any name (a letter with hundreds of marks)
    // is cut between code points rather than dropped.
    std::string zalgo = "z" + repeat("\u0301", 200);
    std::string safeZalgo = FileTransferService::safeName(zalgo);
    EXPECT_EQ(safeZalgo, "z" + repeat("\u0301", 125));
}

TEST(FileTransferNames, SafeNameRepairsInvalidUTF8) {
    EXPECT_EQ(FileTransferService::safeName("bad\xFF.txt"), "bad\uFFFD.txt");
}

TEST(FileTransferNames, NumberedAlternativesGoBeforeTheExtension) {
    using veltrane::deck::transfer::numberedName;
    EXPECT_EQ(numberedName("x-y.txt", 2), "x-y 2.txt");
    EXPECT_EQ(numberedName("notes", 3), "notes 3");
    EXPECT_EQ(numberedName("archive.tar.gz", 2), "archive.tar 2.gz");
    EXPECT_EQ(numberedName(".profile", 2), ".profile 2");
    EXPECT_EQ(numberedName("trailing.", 2), "trailing. 2");
}

TEST(FileTransferNames, PrefixedNameStaysWithinAFileName) {
    using veltrane::deck::transfer::prefixedName;
    std::string prefix(37, 'P');
    std::string name = repeat("\u6587", 80) + ".pdf";  // 244 bytes
    std::string joined = prefixedName(prefix, name, 255);
    EXPECT_LE(joined.size(), 255u);
    EXPECT_EQ(joined, prefix + repeat("\u6587", 71) + ".pdf");
    EXPECT_EQ(prefixedName(prefix, "short.txt", 255), prefix + "short.txt");
}

TEST(FileTransferNames, SafeMime) {
    struct Case {
        std::optional<std::string> mime;
        std::string safe;
    } cases[] = {
        {std::nullopt, "application/octet-stream"},
        {"  Text/HTML \n", "text/html"},
        {"image/png", "image/png"},
        {"png", "application/octet-stream"},
        {"", "application/octet-stream"},
        {"text/plain\nX-Injected: 1", "application/octet-stream"},
        {"a/" + std::string(98, 'b'), "a/" + std::string(98, 'b')},
        {"a/" + std::string(99, 'b'), "application/octet-stream"},
    };
    for (const auto& c : cases) EXPECT_EQ(FileTransferService::safeMime(c.mime), c.safe) << c.mime.value_or("<none>");
}

TEST(FileTransferNames, ContentDisposition) {
    struct Case {
        std::string name, header;
    } cases[] = {
        {"na\u00EFve \"q\".txt",
         "attachment; filename=\"na_ve _q_.txt\"; filename*=UTF-8''na%C3%AFve%20%22q%22.txt"},
        {"plain.txt", "attachment; filename=\"plain.txt\"; filename*=UTF-8''plain.txt"},
        {"back\\slash.txt", "attachment; filename=\"back_slash.txt\"; filename*=UTF-8''back%5Cslash.txt"},
        {"\u6587\u4EF6.pdf", "attachment; filename=\"__.pdf\"; filename*=UTF-8''%E6%96%87%E4%BB%B6.pdf"},
        // A parameter separator inside the encoded value would end it early.
        {"a;b,c'd (1).txt", "attachment; filename=\"a;b,c'd (1).txt\"; filename*=UTF-8''a%3Bb%2Cc%27d%20%281%29.txt"},
        {"ok-._~!$&+.txt", "attachment; filename=\"ok-._~!$&+.txt\"; filename*=UTF-8''ok-._~!$&+.txt"},
        // Bytes that are not UTF-8 have no encoded form: the fallback is encoded instead.
        {"bad\xFF.txt", "attachment; filename=\"bad_.txt\"; filename*=UTF-8''bad_.txt"},
        {"a b\xFF;.txt", "attachment; filename=\"a b_;.txt\"; filename*=UTF-8''a%20b_%3B.txt"},
    };
    for (const auto& c : cases) EXPECT_EQ(FileTransferService::contentDisposition(c.name), c.header) << c.name;
}

TEST(FileTransferNames, ContentDispositionIsAlwaysOneHeaderLine) {
    std::string header = FileTransferService::contentDisposition("evil\r\nSet-Cookie: a=b\x7F\t.txt");
    EXPECT_EQ(header,
              "attachment; filename=\"evil__Set-Cookie: a=b__.txt\"; "
              "filename*=UTF-8''evil%0D%0ASet-Cookie%3A%20a%3Db%7F%09.txt");
    for (char c : header) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << static_cast<int>(c);
}

TEST(FileTransferNames, WellFormedIds) {
    EXPECT_TRUE(FileTransferService::isWellFormedId("0F8A2C4E-1B3D-4E5F-8A9B-0C1D2E3F4A5B"));
    EXPECT_TRUE(FileTransferService::isWellFormedId("0f8a2c4e-1b3d-4e5f-8a9b-0c1d2e3f4a5b"));
    EXPECT_TRUE(FileTransferService::isWellFormedId(std::string(36, '-')));
    EXPECT_FALSE(FileTransferService::isWellFormedId("0F8A2C4E-1B3D-4E5F-8A9B-0C1D2E3F4A5"));
    EXPECT_FALSE(FileTransferService::isWellFormedId("0F8A2C4E-1B3D-4E5F-8A9B-0C1D2E3F4A5BC"));
    EXPECT_FALSE(FileTransferService::isWellFormedId("../../../../../../../../etc/passwd.x"));  // 36 characters
    EXPECT_FALSE(FileTransferService::isWellFormedId("0F8A2C4E-1B3D-4E5F-8A9B-0C1D2E3F4/5B"));
    EXPECT_FALSE(FileTransferService::isWellFormedId("0F8A2C4E-1B3D-4E5F-8A9B-0C1D2E3F4..B"));
    EXPECT_FALSE(FileTransferService::isWellFormedId(""));
}
