#include "ControlDeckCore/runtime/RuntimeOptions.h"

#include <cstdlib>

#include "ControlDeckCore/shared/DecimalText.h"
#include "platform/system/HostName.h"
#include "platform/fs/UserDirectories.h"

namespace veltrane::deck {
namespace {

std::filesystem::path fileURL(const std::string& path, const std::filesystem::path& currentDirectory) {
    std::filesystem::path given(path);
    if (given.is_absolute() || currentDirectory.empty()) return given;
    if (given.empty()) return currentDirectory;
    return currentDirectory / given;
}

}  // namespace

RuntimeOptions::Environment RuntimeOptions::Environment::ofThisProcess() {
    Environment environment;
    std::error_code error;
    environment.currentDirectory = std::filesystem::current_path(error);
    environment.dataHome = fs::applicationSupportDirectory().value_or(environment.currentDirectory);
    environment.hostName = sys::localizedHostName();
    if (const char* testMode = std::getenv(kTestModeVariable)) environment.testMode = testMode;
    return environment;
}

std::optional<std::uint16_t> RuntimeOptions::parsePort(std::string_view text) {
    auto value = parseUnsignedDecimal(text, 65535);
    if (!value) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

RuntimeOptions RuntimeOptions::parse(const std::vector<std::string>& arguments) {
    return parse(arguments, Environment::ofThisProcess());
}

RuntimeOptions RuntimeOptions::parse(const std::vector<std::string>& arguments, const Environment& environment) {
    RuntimeOptions options;
    options.dataDirectory = environment.dataHome / kDataDirectoryName;
    options.deviceName =
        environment.hostName && !environment.hostName->empty() ? *environment.hostName : kFallbackDeviceName;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        // A value-taking option consumes the next element whatever it holds.
        const std::string* value = i + 1 < arguments.size() ? &arguments[i + 1] : nullptr;
        if (option == "--port") {
            if (!value) break;
            if (auto port = parsePort(*value)) options.port = *port;
            ++i;
        } else if (option == "--data-dir") {
            if (!value) break;
            options.dataDirectory = fileURL(*value, environment.currentDirectory);
            ++i;
        } else if (option == "--static-dir") {
            if (!value) break;
            options.staticDirectory = fileURL(*value, environment.currentDirectory);
            ++i;
        } else if (option == "--name") {
            if (!value) break;
            options.deviceName = *value;
            ++i;
        } else if (option == "--auto-approve") {
            options.autoApprovePairing = true;
        } else if (option == "--fake-adapters") {
            options.useFakeAdapters = true;
        } else if (option == "--loopback") {
            options.bindLoopbackOnly = true;
        }
    }

    if (environment.testMode == "1") options.autoApprovePairing = true;
    return options;
}

}  // namespace veltrane::deck
