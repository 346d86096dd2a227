#pragma once
// Parent processes read from /proc (the root is injectable for tests).

#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace veltrane::brennick {

// The parent field of a /proc/<pid>/stat text. The command name in
// parentheses may itself hold ") ", so the fields are read after the last ')'.
std::optional<pid_t> parentFromStat(std::string_view stat);

class ProcessAncestry {
public:
    static constexpr std::size_t kMaxStatBytes = 4096;
    static constexpr int kMaxDepth = 4096;

    explicit ProcessAncestry(std::string procRoot = "/proc") : root_(std::move(procRoot)) {}

    std::optional<pid_t> parentOf(pid_t pid) const;

    // Whether `pid` or one of its ancestors is in `owners`. The walk stops at
    // 1, at a process seen before, or at one whose parent cannot be read (then
    // the answer is no).
    bool belongsTo(pid_t pid, const std::set<pid_t>& owners) const;

private:
    std::string root_;
};

}  // namespace veltrane::brennick
