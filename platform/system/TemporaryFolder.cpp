#include "platform/system/TemporaryFolder.h"

#include <stdlib.h>

#include <cstdlib>
#include <vector>

namespace veltrane::sys {

std::optional<TemporaryFolder> TemporaryFolder::create(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::filesystem::path base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    std::string pattern = (base / (prefix + "XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) return std::nullopt;  // mode 0700
    return TemporaryFolder(std::filesystem::path(buffer.data()));
}

TemporaryFolder::~TemporaryFolder() {
    if (path_.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

}  // namespace veltrane::sys
