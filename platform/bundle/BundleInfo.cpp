#include "platform/bundle/BundleInfo.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace veltrane::bundle {

namespace {

// Settings are a handful of keys; a larger file is not ours.
constexpr std::uintmax_t kMaxFileBytes = 1 << 20;

}  // namespace

std::filesystem::path BundleInfo::filePath() {
    if (const char* named = std::getenv(kFileVariable); named && *named) return named;
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return kFileName;
    return executable.parent_path() / kFileName;
}

std::optional<bool> BundleInfo::boolean(std::string_view key) {
    const auto path = filePath();
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > kMaxFileBytes) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    const auto object = nlohmann::json::parse(text, nullptr, false);
    if (!object.is_object()) return std::nullopt;
    const auto found = object.find(std::string(key));
    if (found == object.end() || !found->is_boolean()) return std::nullopt;
    return found->get<bool>();
}

}  // namespace veltrane::bundle
