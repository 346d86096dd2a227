#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::deck {

// How a host asks the runtime to run. The runtime copies it at construction
// and never changes it.
struct RuntimeOptions {
    static constexpr std::uint16_t kDefaultPort = 8741;
    static constexpr const char* kDataDirectoryName = "Veltrane Control Deck";
    static constexpr const char* kFallbackDeviceName = "Mac";
    static constexpr const char* kTestModeVariable = "CONTROL_DECK_TEST_MODE";

    std::uint16_t port = kDefaultPort;
    std::filesystem::path dataDirectory;
    std::optional<std::filesystem::path> staticDirectory;  // none: the built-in page
    bool autoApprovePairing = false;
    bool useFakeAdapters = false;
    std::string deviceName;
    bool bindLoopbackOnly = false;

    // What parse reads from outside its argument list.
    struct Environment {
        std::filesystem::path dataHome;            // parent of the default data directory
        std::optional<std::string> hostName;       // the computer's localised name
        std::filesystem::path currentDirectory;    // base of relative paths
        std::optional<std::string> testMode;       // CONTROL_DECK_TEST_MODE, when set

        static Environment ofThisProcess();
    };

    // Builds the options from command-line arguments (the program path may
    // come first; it matches no option) and this process's environment.
    // Never fails: unknown elements are skipped and a bad value is ignored.
    static RuntimeOptions parse(const std::vector<std::string>& arguments);
    static RuntimeOptions parse(const std::vector<std::string>& arguments, const Environment& environment);

    // A decimal port: an optional "+" (or "-" for zero), digits, at most 65535.
    static std::optional<std::uint16_t> parsePort(std::string_view text);

    bool operator==(const RuntimeOptions&) const = default;
};

}  // namespace veltrane::deck
