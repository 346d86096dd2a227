#include "platform/plist/PropertyList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veltrane::plist {
namespace {

constexpr Limits kLimits{100'000, 32};

// A binary list of encoded objects, the first one on top; references are
// one byte, offsets four.
std::string binaryList(const std::vector<std::string>& objects) {
    std::string out = "bplist00";
    std::vector<std::uint32_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        out += object;
    }
    const auto table = static_cast<std::uint64_t>(out.size());
    for (auto offset : offsets)
        for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((offset >> shift) & 0xFF);
    std::string trailer(32, '\0');
    trailer[6] = 4;  // offset size
    trailer[7] = 1;  // reference size
    for (int i = 0; i < 8; ++i) {
        trailer[8 + i] = static_cast<char>((static_cast<std::uint64_t>(objects.size()) >> (56 - 8 * i)) & 0xFF);
        trailer[24 + i] = static_cast<char>((table >> (56 - 8 * i)) & 0xFF);
    }
    return out + trailer;
}

std::string array(std::vector<int> refs) {
    std::string out(1, static_cast<char>(0xA0 | (refs.size() < 15 ? refs.size() : 0x0F)));
    if (refs.size() >= 15)
        out += std::string{'\x11', static_cast<char>(refs.size() >> 8), static_cast<char>(refs.size())};
    for (int ref : refs) out += static_cast<char>(ref);
    return out;
}
std::string ascii(const std::string& text) { return std::string(1, static_cast<char>(0x50 | text.size())) + text; }

// `levels` arrays one inside the other, `inside` after each opening tag.
std::string nestedXML(int levels, const std::string& inside) {
    std::string text = "<plist>";
    for (int i = 0; i < levels; ++i) text += "<array>" + inside;
    for (int i = 0; i < levels; ++i) text += "</array>";
    return text + "</plist>";
}

TEST(PropertyListTest, BinaryAndXMLGiveTheSameTree) {
    // [ "a", UID 3, 7, -2, 1.5, true, {"k": "v"} ]
    const std::string binary = binaryList({
        array({1, 2, 3, 4, 5, 6, 7}),
        ascii("a"),
        std::string("\x80\x03", 2),
        std::string("\x10\x07", 2),
        std::string("\x13\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFE", 9),
        std::string("\x23\x3F\xF8\x00\x00\x00\x00\x00\x00", 9),
        std::string("\x09", 1),
        std::string("\xD1\x08\x09", 3),
        ascii("k"),
        ascii("v"),
    });
    const auto fromBinary = parse(binary, kLimits);
    ASSERT_TRUE(fromBinary);
    const Array& items = *fromBinary->array();
    ASSERT_EQ(items.size(), 7u);
    EXPECT_EQ(*items[0].string(), "a");
    EXPECT_EQ(std::get<Uid>(items[1].value), Uid{3});
    EXPECT_EQ(std::get<std::int64_t>(items[2].value), 7);
    EXPECT_EQ(std::get<std::int64_t>(items[3].value), -2);
    EXPECT_EQ(std::get<double>(items[4].value), 1.5);
    EXPECT_TRUE(std::get<bool>(items[5].value));
    ASSERT_TRUE(items[6].find("k"));
    EXPECT_EQ(*items[6].find("k")->string(), "v");
    EXPECT_FALSE(items[6].find("missing"));

    const auto fromXML = parse(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><array><string>a</string><dict><key>CF$UID</key><integer>3</integer></dict>
<integer>7</integer><integer>-2</integer><real>1.5</real><true/><dict><key>k</key><string>v</string></dict></array></plist>)",
                               kLimits);
    ASSERT_TRUE(fromXML);
    const Array& xmlItems = *fromXML->array();
    ASSERT_EQ(xmlItems.size(), 7u);
    EXPECT_EQ(std::get<std::int64_t>(xmlItems[1].find("CF$UID")->value), 3);
    EXPECT_EQ(std::get<std::int64_t>(xmlItems[3].value), -2);
    EXPECT_EQ(*xmlItems[6].find("k")->string(), "v");
}

TEST(PropertyListTest, SharedObjectsAreMeasuredAsExpanded) {
    // Object k is a list naming object k + 1 a hundred times.
    const auto chain = [](int levels) {
        std::vector<std::string> objects;
        for (int level = 0; level < levels; ++level) objects.push_back(array(std::vector<int>(100, level + 1)));
        objects.push_back(ascii("leaf"));
        return binaryList(objects);
    };
    const auto two = measure(chain(2), kLimits);
    ASSERT_TRUE(two);
    EXPECT_EQ(two->nodes, 1u + 100 + 100 * 100);
    EXPECT_EQ(two->depth, 2);
    EXPECT_TRUE(parse(chain(2), kLimits));
    // A hundred million values from a file of a few hundred bytes.
    EXPECT_FALSE(measure(chain(4), kLimits));
    EXPECT_FALSE(parse(chain(4), kLimits));
}

TEST(PropertyListTest, RefusesCyclesDepthAndBrokenTables) {
    struct Case {
        std::string name;
        std::string bytes;
        bool refusedByMeasure = true;  // before libplist sees the bytes
    };
    const std::vector<Case> cases = {
        {"a list naming itself", binaryList({array({0})})},
        {"a reference past the table", binaryList({array({5})})},
        {"a trailer only", std::string("bplist00") + std::string(32, '\0')},
        {"cut short", binaryList({array({1}), ascii("x")}).substr(0, 20)},
        {"neither form", "{\"json\": true}", false},
        // libplist would assert on the string's length and end the process.
        {"XML with a NUL", std::string("<plist><string>a\0b</string></plist>", 36), false},
        {"deep XML", nestedXML(40, "")},
        // A comment must not hide a level from the count.
        {"deep XML behind comments", nestedXML(40, "<!-- </array> -->")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(parse(c.bytes, kLimits));
        EXPECT_EQ(!measure(c.bytes, kLimits), c.refusedByMeasure);
    }
    EXPECT_TRUE(parse(nestedXML(10, "<!-- <array> -->"), kLimits));
}

}  // namespace
}  // namespace veltrane::plist
