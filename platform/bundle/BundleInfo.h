#pragma once
// The application's property file: one JSON object of build-time settings
// ("Info.json" beside the running executable, or the file that
// VELTRANE_INFO_FILE names).

#include <filesystem>
#include <optional>
#include <string_view>

namespace veltrane::bundle {

struct BundleInfo {
    static constexpr const char* kFileVariable = "VELTRANE_INFO_FILE";
    static constexpr const char* kFileName = "Info.json";

    // Where the file is looked for now.
    static std::filesystem::path filePath();
    // The Boolean value of `key`, read from the file at each call. None when
    // the file is missing, unreadable or not one JSON object, when the key
    // is absent, or when its value is not a Boolean.
    static std::optional<bool> boolean(std::string_view key);
};

}  // namespace veltrane::bundle
