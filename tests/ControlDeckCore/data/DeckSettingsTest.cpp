#include <gtest/gtest.h>

#include <set>

#include "ControlDeckCore/shared/Decoding.h"
#include "ControlDeckCore/data/DeckSettings.h"

using namespace veltrane::deck;

namespace {

std::set<std::string> keysOf(const Json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.insert(key);
    return keys;
}

DeckSettings decoded(const char* text) { return DeckSettings::decode(*JSON::parse(text)); }

DeckSettings defaults() { return DeckSettings::makeDefault(DeckSettings::defaultDeviceName(), 8741); }

}  // namespace

TEST(DeckSettings, DefaultsFollowTheTable) {
    auto s = DeckSettings::makeDefault("Desk", 9000);
    EXPECT_EQ(s, (DeckSettings{"Desk", 9000, false, false, false, 20, 86400, true, true, true, "system", false, true,
                               false, true}));
    EXPECT_FALSE(DeckSettings::defaultDeviceName().empty());
}

TEST(DeckSettings, DecodesOverDefaults) {
    struct Case {
        const char* json;
        DeckSettings expected;
    };
    auto with = [](auto change) {
        DeckSettings s = defaults();
        change(s);
        return s;
    };
    const Case cases[] = {
        {"{}", defaults()},
        {R"({"port":8742,"theme":null})", with([](DeckSettings& s) { s.port = 8742; })},
        {R"({"port":65535.0,"deviceName":null})", with([](DeckSettings& s) { s.port = 65535; })},
        // Nothing is checked or clamped here.
        {R"({"clipboardHistoryMax":-5,"theme":"neon","deviceName":""})", with([](DeckSettings& s) {
             s.clipboardHistoryMax = -5;
             s.theme = "neon";
             s.deviceName = "";
         })},
        // The aliases are not keys of the file; unknown keys are ignored.
        {R"({"clipboardSharingEnabled":true,"mediaControlsEnabled":false,"extra":[1]})", defaults()},
        {R"({"deviceName":"Studio","port":0,"startAtLogin":true,"clipboardEnabled":true,
            "clipboardHistoryEnabled":true,"clipboardHistoryMax":5,"clipboardHistoryTTLSeconds":60,
            "screenshotsEnabled":false,"mediaEnabled":false,"systemStatsEnabled":false,"theme":"dark",
            "hasCompletedOnboarding":true,"lockConfirmDefault":false,"autoApprovePairing":true,
            "fileTransferEnabled":false})",
         DeckSettings{"Studio", 0, true, true, true, 5, 60, false, false, false, "dark", true, false, true, false}},
    };
    for (const auto& c : cases) EXPECT_EQ(decoded(c.json), c.expected) << c.json;
}

TEST(DeckSettings, AnyWrongValueFailsTheWholeRecord) {
    struct Case {
        const char* json;
        const char* key;
    };
    const Case cases[] = {
        {R"({"mediaEnabled":"yes","port":8742})", "mediaEnabled"},
        {R"({"clipboardEnabled":1})", "clipboardEnabled"},
        {R"({"port":65536})", "port"},
        {R"({"port":-1})", "port"},
        {R"({"port":8742.5})", "port"},
        {R"({"port":"8742"})", "port"},
        {R"({"clipboardHistoryTTLSeconds":1.5})", "clipboardHistoryTTLSeconds"},
        {R"({"deviceName":7})", "deviceName"},
        {R"({"theme":["dark"]})", "theme"},
        {R"([])", ""},
        {R"(null)", ""},
    };
    for (const auto& c : cases) {
        try {
            decoded(c.json);
            ADD_FAILURE() << "decoded " << c.json;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.path(), c.key) << c.json;
        }
    }
}

TEST(DeckSettings, EncodesAllFifteenFieldsAndNoAliases) {
    DeckSettings s{"Studio", 8742, true, true, false, 7, 3600, false, true, false, "light", true, false, true, false};
    Json encoded = s.encode();
    EXPECT_EQ(keysOf(encoded),
              (std::set<std::string>{"deviceName", "port", "startAtLogin", "clipboardEnabled", "clipboardHistoryEnabled",
                                     "clipboardHistoryMax", "clipboardHistoryTTLSeconds", "screenshotsEnabled",
                                     "mediaEnabled", "systemStatsEnabled", "theme", "hasCompletedOnboarding",
                                     "lockConfirmDefault", "autoApprovePairing", "fileTransferEnabled"}));
    EXPECT_TRUE(encoded["port"].is_number_integer());
    EXPECT_EQ(DeckSettings::decode(encoded), s);
    EXPECT_EQ(DeckSettings::decode(defaults().encode()), defaults());
}

TEST(DeckSettings, PublicDictLeavesOutThePrivatePreferences) {
    DeckSettings s{"Studio", 8742, true, true, false, 7, 3600, false, true, false, "light", true, false, true, false};
    EXPECT_EQ(JSON::text(s.publicDict()),
              R"({"clipboardEnabled":true,"clipboardHistoryEnabled":false,"clipboardHistoryMax":7,)"
              R"("clipboardHistoryTTLSeconds":3600,"deviceName":"Studio","fileTransferEnabled":false,)"
              R"("lockConfirmDefault":false,"mediaEnabled":true,"port":8742,"screenshotsEnabled":false,)"
              R"("systemStatsEnabled":false,"theme":"light"})");
    EXPECT_EQ(defaults().publicDict().size(), 12u);
}

TEST(DeckSettings, AliasesShareTheirFieldsStorage) {
    DeckSettings s = defaults();
    s.setClipboardSharingEnabled(true);
    EXPECT_TRUE(s.clipboardEnabled);
    s.clipboardEnabled = false;
    EXPECT_FALSE(s.clipboardSharingEnabled());
    s.setMediaControlsEnabled(false);
    EXPECT_FALSE(s.mediaEnabled);
    s.mediaEnabled = true;
    EXPECT_TRUE(s.mediaControlsEnabled());
}
