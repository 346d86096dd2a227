#include <gtest/gtest.h>

#include <set>
#include <string>
#include <variant>

#include "ControlDeckCore/runtime/DeckCommand.h"
#include "ControlDeckCore/shared/DeckError.h"

using namespace veltrane::deck;
using C = DeckCommand;

namespace {

// Either the command a body parses to, or the error code it fails with.
struct Row {
    std::string body;
    std::variant<DeckCommand, std::string> expected;
};

std::string describe(const DeckCommand& c) { return std::string(c.typeName()); }

void check(const Row& row) {
    SCOPED_TRACE(row.body);
    if (const auto* command = std::get_if<DeckCommand>(&row.expected)) {
        DeckCommand parsed = DeckCommand::parseData(row.body);
        EXPECT_TRUE(parsed == *command) << "parsed as " << describe(parsed);
    } else {
        try {
            DeckCommand::parseData(row.body);
            ADD_FAILURE() << "parsed, expected " << std::get<std::string>(row.expected);
        } catch (const DeckError& e) {
            EXPECT_EQ(e.code(), std::get<std::string>(row.expected));
        }
    }
}

const std::string bad = "malformed_payload";

}  // namespace

TEST(DeckCommand, ArgumentRules) {
    const std::string name199(199, 'x');
    const std::string name200(200, 'x');
    // 199 flags of two regional indicators each: 199 characters, 1,592 bytes.
    std::string flags199;
    for (int i = 0; i < 199; ++i) flags199 += "\U0001F1EB\U0001F1F7";
    const Row rows[] = {
        // volume and brightness levels: clamped, strings of numbers read, NaN is 0
        {R"({"type":"set_volume","level":1.7})", C::SetVolume{1.0, {}}},
        {R"({"type":"set_volume","level":-3})", C::SetVolume{0.0, {}}},
        {R"({"type":"set_volume","level":"0.25"})", C::SetVolume{0.25, {}}},
        {R"({"type":"set_volume","level":"nan"})", C::SetVolume{0.0, {}}},
        {R"({"type":"set_volume","level":true})", C::SetVolume{1.0, {}}},
        {R"({"type":"set_volume","level":0.4,"deviceId":"spk"})", C::SetVolume{0.4, "spk"}},
        {R"({"type":"set_volume","level":0.4,"deviceId":""})", C::SetVolume{0.4, ""}},
        {R"({"type":"set_volume","level":0.4,"deviceId":7})", C::SetVolume{0.4, {}}},
        {R"({"type":"set_volume"})", bad},
        {R"({"type":"set_volume","level":"loud"})", bad},
        {R"({"type":"set_volume","level":null})", bad},
        {R"({"type":"set_brightness","displayId":"1","level":2})", C::SetBrightness{"1", 1.0}},
        {R"({"type":"set_brightness","displayId":"","level":0.5})", bad},
        {R"({"type":"set_brightness","displayId":1,"level":0.5})", bad},
        {R"({"type":"set_brightness","displayId":"1"})", bad},
        // booleans
        {R"({"type":"set_mute","muted":true})", C::SetMute{true}},
        {R"({"type":"set_mute","muted":0})", C::SetMute{false}},
        {R"({"type":"set_mute","muted":"true"})", bad},
        {R"({"type":"set_mute"})", bad},
        {R"({"type":"media_like"})", C::MediaLike{}},
        {R"({"type":"media_like","liked":"yes"})", C::MediaLike{}},
        {R"({"type":"media_like","liked":false})", C::MediaLike{false}},
        // output device and timer ids: non-empty text
        {R"({"type":"set_output_device","deviceId":"42"})", C::SetOutputDevice{"42"}},
        {R"({"type":"set_output_device","deviceId":""})", bad},
        {R"({"type":"set_output_device","deviceId":42})", bad},
        {R"({"type":"pause_timer","id":"T"})", C::PauseTimer{"T"}},
        {R"({"type":"resume_timer","id":"T"})", C::ResumeTimer{"T"}},
        {R"({"type":"cancel_timer","id":"T"})", C::CancelTimer{"T"}},
        {R"({"type":"cancel_timer","id":""})", bad},
        {R"({"type":"pause_timer"})", bad},
        // seek: finite, negative becomes 0
        {R"({"type":"media_seek","position":12.5})", C::MediaSeek{12.5}},
        {R"({"type":"media_seek","position":-4})", C::MediaSeek{0.0}},
        {R"({"type":"media_seek","position":"inf"})", bad},
        {R"({"type":"media_seek","position":"nan"})", bad},
        {R"({"type":"media_seek","position":1e999})", bad},
        {R"({"type":"media_seek"})", bad},
        // applications: trimmed copy not empty, kept as sent
        {R"({"type":"open_application","application":"  Safari "})", C::OpenApplication{"  Safari "}},
        {R"({"type":"open_application","application":" \n\t\u3000"})", bad},
        {R"({"type":"open_application"})", bad},
        // links: http or https in any case, kept as sent
        {R"({"type":"open_url","url":"https://example.com/a?b=c"})", C::OpenURL{"https://example.com/a?b=c"}},
        {R"({"type":"open_url","url":"HTTP://Example.com"})", C::OpenURL{"HTTP://Example.com"}},
        {R"({"type":"open_url","url":"file:///etc/passwd"})", bad},
        {R"({"type":"open_url","url":"javascript:void 0"})", bad},
        {R"({"type":"open_url","url":"example.com"})", bad},
        {R"({"type":"open_url","url":"//example.com"})", bad},
        {R"({"type":"open_url","url":"https://exa mple.com"})", bad},
        {R"({"type":"open_url","url":""})", bad},
        {R"({"type":"open_url","url":7})", bad},
        // paths
        {R"({"type":"open_file","path":"/Users/me/a..b/./x.txt"})", C::OpenFile{"/Users/me/a..b/./x.txt"}},
        {R"({"type":"open_folder","path":"//Users//me/"})", C::OpenFolder{"//Users//me/"}},
        {R"({"type":"open_folder","path":"/"})", C::OpenFolder{"/"}},
        {R"({"type":"open_file","path":"Users/me"})", bad},
        {R"({"type":"open_file","path":"/Users/../etc"})", bad},
        {R"({"type":"open_folder","path":"/Users/me/.."})", bad},
        {R"({"type":"open_file","path":"/x/http://y"})", bad},
        {R"({"type":"open_file","path":"/x\u0000y"})", bad},
        {R"({"type":"open_folder","path":""})", bad},
        {R"({"type":"open_folder"})", bad},
        // shortcut names
        {R"({"type":"run_shortcut","name":"  Morning  "})", C::RunShortcut{"  Morning  "}},
        {R"({"type":"run_shortcut","name":")" + name199 + R"("})", C::RunShortcut{name199}},
        {R"({"type":"run_shortcut","name":"  )" + name199 + R"(\n"})", C::RunShortcut{"  " + name199 + "\n"}},
        {R"({"type":"run_shortcut","name":")" + flags199 + R"("})", C::RunShortcut{flags199}},
        {R"({"type":"run_shortcut","name":")" + name200 + R"("})", bad},
        {R"({"type":"run_shortcut","name":"a;b"})", bad},
        {R"({"type":"run_shortcut","name":"a`b"})", bad},
        {R"({"type":"run_shortcut","name":"a\nb"})", bad},
        {R"({"type":"run_shortcut","name":"   "})", bad},
        // clipboard text: empty allowed, must be text
        {R"({"type":"copy_text","text":""})", C::CopyText{""}},
        {R"({"type":"set_clipboard","text":"hi"})", C::SetClipboard{"hi"}},
        {R"({"type":"copy_text","text":5})", bad},
        {R"({"type":"set_clipboard"})", bad},
        // timers: 1 to 86,400 seconds
        {R"({"type":"start_timer","seconds":1})", C::StartTimer{1, {}}},
        {R"({"type":"start_timer","seconds":86400,"label":"Tea"})", C::StartTimer{86400, "Tea"}},
        {R"({"type":"start_timer","seconds":"90","label":3})", C::StartTimer{90, {}}},
        {R"({"type":"start_timer","seconds":0})", bad},
        {R"({"type":"start_timer","seconds":86401})", bad},
        {R"({"type":"start_timer","seconds":-5})", bad},
        {R"({"type":"start_timer","seconds":1e300})", bad},
        {R"({"type":"start_timer","seconds":99999999999999999999999})", bad},
        {R"({"type":"start_timer"})", bad},
        // screenshots
        {R"({"type":"take_screenshot"})", C::TakeScreenshot{"full"}},
        {R"({"type":"take_screenshot","mode":1})", C::TakeScreenshot{"full"}},
        {R"({"type":"take_screenshot","mode":"window"})", C::TakeScreenshot{"window"}},
        {R"({"type":"take_screenshot","mode":"Window"})", bad},
        {R"({"type":"take_screenshot","mode":""})", bad},
        // no arguments; extra keys ignored
        {R"({"type":"volume_up","level":9})", C::VolumeUp{}},
        {R"({"type":"lock_mac"})", C::LockMac{}},
        // the type itself
        {R"({"type":"Set_Volume","level":1})", std::string("invalid_action")},
        {R"({"type":"reboot"})", std::string("invalid_action")},
        {R"({"type":""})", bad},
        {R"({"type":3})", bad},
        {R"({"level":1})", bad},
        {R"([{"type":"lock_mac"}])", bad},
        {R"("lock_mac")", bad},
        {R"({"type":"lock_mac")", bad},
        {"", bad},
    };
    for (const auto& row : rows) check(row);
}

TEST(DeckCommand, NotAllowedNamesTheTypeAsSent) {
    try {
        DeckCommand::parse(Json{{"type", "Set_Volume"}, {"level", 1}});
        FAIL() << "parsed";
    } catch (const DeckError& e) {
        EXPECT_EQ(e.status(), 400);
        EXPECT_EQ(e.message(), "Action type \u201CSet_Volume\u201D is not allowed.");
    }
}

TEST(DeckCommand, EveryAllowedNameParsesAndNamesItselfBack) {
    const auto& names = DeckCommand::allowlist();
    EXPECT_EQ(std::set<std::string_view>(names.begin(), names.end()).size(), DeckCommand::commandCount);
    // Arguments that satisfy every command at once.
    Json object = {{"level", 0.5},  {"muted", true},   {"deviceId", "d"},     {"displayId", "1"},
                   {"position", 1}, {"application", "A"}, {"url", "http://x"}, {"path", "/tmp"},
                   {"name", "S"},   {"text", "t"},     {"seconds", 5},        {"id", "T"}};
    std::set<std::size_t> cases;
    for (std::string_view name : names) {
        object["type"] = std::string(name);
        DeckCommand command = DeckCommand::parse(object);
        EXPECT_EQ(command.typeName(), name);
        cases.insert(command.value().index());
    }
    EXPECT_EQ(cases.size(), DeckCommand::commandCount);
}

TEST(DeckCommand, CharacterCountDecidesShortcutNameLength) {
    // One user-perceived character built from two code points, 199 times.
    std::string accented;
    for (int i = 0; i < 199; ++i) accented += "e\u0301";
    EXPECT_TRUE(DeckCommand::isSafeShortcutName(accented));
    EXPECT_FALSE(DeckCommand::isSafeShortcutName(accented + "e\u0301"));
    EXPECT_FALSE(DeckCommand::isSafeShortcutName(" \u2028 "));
}
