#include "helpers/brennick/ProcessAncestry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace veltrane::brennick {

std::optional<pid_t> parentFromStat(std::string_view stat) {
    auto close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    // " <state> <ppid> ..."
    if (rest.size() < 4 || rest[0] != ' ' || rest[1] == ' ' || rest[2] != ' ') return std::nullopt;
    rest.remove_prefix(3);
    long long parent = 0;
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') {
        parent = parent * 10 + (rest[digits] - '0');
        if (parent > INT_MAX) return std::nullopt;
        ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (digits < rest.size() && rest[digits] != ' ' && rest[digits] != '\n') return std::nullopt;
    return static_cast<pid_t>(parent);
}

std::optional<pid_t> ProcessAncestry::parentOf(pid_t pid) const {
    std::string path = root_ + "/" + std::to_string(pid) + "/stat";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text(kMaxStatBytes, '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    text.resize(filled);
    return parentFromStat(text);
}

bool ProcessAncestry::belongsTo(pid_t pid, const std::set<pid_t>& owners) const {
    std::set<pid_t> visited;
    pid_t current = pid;
    for (int depth = 0; current > 1 && depth < kMaxDepth; ++depth) {
        if (!visited.insert(current).second) break;
        if (owners.count(current)) return true;
        auto parent = parentOf(current);
        if (!parent) return false;
        current = *parent;
    }
    return owners.count(current) > 0;
}

}  // namespace veltrane::brennick
