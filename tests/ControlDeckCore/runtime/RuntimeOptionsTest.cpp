#include <gtest/gtest.h>

#include <cstdlib>

#include "ControlDeckCore/runtime/RuntimeOptions.h"

using veltrane::deck::RuntimeOptions;

namespace {

RuntimeOptions::Environment environment(std::optional<std::string> testMode = std::nullopt) {
    return {"/home/u/.local/share", "Studio Desk", "/work", std::move(testMode)};
}

RuntimeOptions defaults() {
    return {8741, "/home/u/.local/share/Veltrane Control Deck", std::nullopt, false, false, "Studio Desk", false};
}

}  // namespace

TEST(RuntimeOptionsParse, Table) {
    struct Row {
        std::vector<std::string> arguments;
        std::function<void(RuntimeOptions&)> change;  // applied to the defaults
    };
    auto port = [](std::uint16_t p) { return [p](RuntimeOptions& o) { o.port = p; }; };
    auto none = [](RuntimeOptions&) {};
    const Row rows[] = {
        {{}, none},
        {{"/usr/bin/control-deck"}, none},
        {{"--port", "80"}, port(80)},
        {{"--port", "+80"}, port(80)},
        {{"--port", "-0"}, port(0)},
        {{"--port", "0"}, port(0)},
        {{"--port", "0080"}, port(80)},
        {{"--port", "65535"}, port(65535)},
        {{"--port", "65536"}, none},
        {{"--port", "99999999999999999999999"}, none},
        {{"--port", "8a"}, none},
        {{"--port", " 80"}, none},
        {{"--port", ""}, none},
        {{"--port", "+"}, none},
        {{"--port", "-"}, none},
        {{"--port", "-1"}, none},
        {{"--port", "++1"}, none},
        {{"--port", "\xD9\xA1"}, none},  // ARABIC-INDIC DIGIT ONE is not an ASCII digit
        {{"--port", "9000", "--port", "x"}, port(9000)},
        {{"--port", "9000", "--port", "9001"}, port(9001)},
        {{"--port"}, none},
        {{"--port", "--loopback"}, none},
        {{"--name", "--fake-adapters"}, [](RuntimeOptions& o) { o.deviceName = "--fake-adapters"; }},
        {{"--name", ""}, [](RuntimeOptions& o) { o.deviceName = ""; }},
        {{"--name", "a", "--name", "b"}, [](RuntimeOptions& o) { o.deviceName = "b"; }},
        {{"--name"}, none},
        {{"--data-dir", "/srv/deck"}, [](RuntimeOptions& o) { o.dataDirectory = "/srv/deck"; }},
        {{"--data-dir", "deck/data"}, [](RuntimeOptions& o) { o.dataDirectory = "/work/deck/data"; }},
        {{"--data-dir", "/a", "--data-dir", "/b"}, [](RuntimeOptions& o) { o.dataDirectory = "/b"; }},
        {{"--static-dir", "/srv/web"}, [](RuntimeOptions& o) { o.staticDirectory = "/srv/web"; }},
        {{"--static-dir", "web"}, [](RuntimeOptions& o) { o.staticDirectory = "/work/web"; }},
        {{"--static-dir"}, none},
        {{"--auto-approve"}, [](RuntimeOptions& o) { o.autoApprovePairing = true; }},
        {{"--fake-adapters"}, [](RuntimeOptions& o) { o.useFakeAdapters = true; }},
        {{"--loopback"}, [](RuntimeOptions& o) { o.bindLoopbackOnly = true; }},
        {{"-port", "80", "--PORT", "81", "--port=82", "-loopback", "port"}, none},
        {{"prog", "--loopback", "--port", "5000", "--fake-adapters", "--auto-approve"},
         [](RuntimeOptions& o) {
             o.bindLoopbackOnly = o.useFakeAdapters = o.autoApprovePairing = true;
             o.port = 5000;
         }},
    };
    for (const auto& row : rows) {
        RuntimeOptions expected = defaults();
        row.change(expected);
        std::string shown;
        for (const auto& a : row.arguments) shown += "[" + a + "]";
        EXPECT_EQ(RuntimeOptions::parse(row.arguments, environment()), expected) << shown;
    }
}

TEST(RuntimeOptionsParse, TestModeMustBeExactlyOne) {
    struct Row {
        std::optional<std::string> value;
        std::vector<std::string> arguments;
        bool autoApprove;
    };
    const Row rows[] = {
        {"1", {}, true},           {"1", {"--auto-approve"}, true}, {"true", {}, false}, {"01", {}, false},
        {"1 ", {}, false},         {"", {}, false},                 {std::nullopt, {}, false},
        {"0", {"--auto-approve"}, true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(RuntimeOptions::parse(row.arguments, environment(row.value)).autoApprovePairing, row.autoApprove)
            << row.value.value_or("(unset)");
}

TEST(RuntimeOptionsParse, DeviceNameFallsBackToMac) {
    for (std::optional<std::string> host : {std::optional<std::string>(), std::optional<std::string>("")}) {
        auto env = environment();
        env.hostName = host;
        EXPECT_EQ(RuntimeOptions::parse({}, env).deviceName, "Mac");
    }
}

TEST(RuntimeOptionsParse, ReadsThisProcessEnvironment) {
    const char* saved = std::getenv("XDG_DATA_HOME");
    std::optional<std::string> restore = saved ? std::optional<std::string>(saved) : std::nullopt;
    setenv("XDG_DATA_HOME", "/tmp/deck-data-home", 1);
    setenv("CONTROL_DECK_TEST_MODE", "1", 1);

    auto options = RuntimeOptions::parse({"control-deck"});
    EXPECT_EQ(options.dataDirectory, std::filesystem::path("/tmp/deck-data-home/Veltrane Control Deck"));
    EXPECT_TRUE(options.autoApprovePairing);
    EXPECT_FALSE(options.deviceName.empty());

    // A relative XDG_DATA_HOME is ignored, as the base-directory rules say.
    setenv("XDG_DATA_HOME", "relative/data", 1);
    setenv("CONTROL_DECK_TEST_MODE", "true", 1);
    options = RuntimeOptions::parse({});
    EXPECT_TRUE(options.dataDirectory.is_absolute()) << options.dataDirectory;
    EXPECT_EQ(options.dataDirectory.filename(), "Veltrane Control Deck");
    EXPECT_EQ(options.dataDirectory.parent_path().filename(), "share");
    EXPECT_FALSE(options.autoApprovePairing);

    unsetenv("CONTROL_DECK_TEST_MODE");
    if (restore) setenv("XDG_DATA_HOME", restore->c_str(), 1);
    else unsetenv("XDG_DATA_HOME");
}
