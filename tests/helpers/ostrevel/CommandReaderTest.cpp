#include <gtest/gtest.h>

#include <string>

#include "helpers/ostrevel/CommandReader.h"

using namespace veltrane::ostrevel;

namespace {

// The commands of `bytes` fed as pieces that end at `cuts` (and at its end).
std::vector<Command> readCut(std::string_view bytes, std::vector<std::size_t> cuts) {
    CommandReader reader;
    std::vector<Command> commands;
    cuts.push_back(bytes.size());
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        auto more = reader.feed(bytes.substr(from, cut - from));
        commands.insert(commands.end(), more.begin(), more.end());
        from = cut;
    }
    if (auto last = reader.finish()) commands.push_back(*last);
    return commands;
}

std::vector<Command> readAll(std::string_view bytes, std::size_t piece) {
    std::vector<std::size_t> cuts;
    for (std::size_t at = piece; at < bytes.size(); at += piece) cuts.push_back(at);
    return readCut(bytes, cuts);
}

}  // namespace

TEST(CommandReader, MatchesEachLineOnItsBeginning) {
    struct Case {
        const char* line;
        Command expected;
    };
    const Case cases[] = {
        {"portrait", {CommandKind::portrait}},
        {"landscape please", {CommandKind::landscape}},
        {"quitting", {CommandKind::quit}},
        {"mode 2560 1600 2", {CommandKind::mode, 2560, 1600, 2}},
        {"mode 640 640 1", {CommandKind::mode, 640, 640, 1}},
        {"mode 3840 3840 1", {CommandKind::mode, 3840, 3840, 1}},
        {"mode   1200\t2000 1 trailing", {CommandKind::mode, 1200, 2000, 1}},
        {"mode 3841 1600 1", {CommandKind::invalidMode}},
        {"mode 2560 639 1", {CommandKind::invalidMode}},
        {"mode 2561 1600 2", {CommandKind::invalidMode}},
        {"mode 2560 1600 3", {CommandKind::invalidMode}},
        {"mode 2560 1600 0", {CommandKind::invalidMode}},
        {"mode 2560 1600", {CommandKind::invalidMode}},
        {"mode -2560 1600 1", {CommandKind::invalidMode}},
        {"mode 99999999999999999999999 1600 1", {CommandKind::invalidMode}},
        {"mode x", {CommandKind::invalidMode}},
        {"Mode 2560 1600 1", {CommandKind::unknown}},
        {"mode", {CommandKind::unknown}},
        {" portrait", {CommandKind::unknown}},
        {"", {CommandKind::unknown}},
        {"PORTRAIT", {CommandKind::unknown}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(CommandReader::parse(c.line), c.expected);
    }
    // A NUL ends the text the line is matched on.
    EXPECT_EQ(CommandReader::parse(std::string("quit\0x", 6)), Command{CommandKind::quit});
    EXPECT_EQ(CommandReader::parse(std::string("\0quit", 5)), Command{CommandKind::unknown});
}

TEST(CommandReader, ALongLineIsOneCommandCutAtItsLimit) {
    const std::string filler(kLineLimit, 'x');
    // The tail of an over-long line is dropped, never read as a command.
    EXPECT_EQ(readAll(filler + "quit\nportrait\n", 1000),
              (std::vector<Command>{{CommandKind::unknown}, {CommandKind::portrait}}));
    // Exactly the limit, then the newline: one line, not two.
    EXPECT_EQ(readAll(std::string("landscape") + std::string(kLineLimit - 9, ' ') + "\n", 1000),
              std::vector<Command>{{CommandKind::landscape}});
    // The numbers must lie within the first 63 characters.
    const std::string spaced = "mode " + std::string(50, ' ') + "2560 1600 1\n";
    EXPECT_EQ(readAll(spaced, 1000), std::vector<Command>{{CommandKind::invalidMode}});
}

TEST(CommandReader, PiecesGiveTheSameCommandsAsTheWhole) {
    const std::string input = "portrait\n\nmode 2560 1600 2\r\nbogus\n" + std::string(200, 'y') + "\nquit";
    const auto whole = readAll(input, input.size());
    ASSERT_EQ(whole.size(), 6u);
    EXPECT_EQ(whole[2], (Command{CommandKind::mode, 2560, 1600, 2}));
    EXPECT_EQ(whole.back(), Command{CommandKind::quit}) << "the last line needs no newline";
    for (std::size_t piece : {1u, 2u, 7u, 64u}) EXPECT_EQ(readAll(input, piece), whole) << piece;
    // End of input with nothing after the last newline adds nothing.
    EXPECT_TRUE(readAll("", 1).empty());
    EXPECT_EQ(readAll("portrait\n", 3).size(), 1u);
}
