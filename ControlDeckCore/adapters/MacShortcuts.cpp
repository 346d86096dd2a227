#include "ControlDeckCore/adapters/MacShortcuts.h"

#include "ControlDeckCore/shared/DeckError.h"
#include "platform/process/Shell.h"
#include "platform/fs/UserDirectories.h"

namespace veltrane::deck {

std::optional<std::filesystem::path> MacShortcuts::folder() {
    auto config = fs::configurationDirectory();
    if (!config) return std::nullopt;
    return *config / "veltrane" / "shortcuts";
}

bool MacShortcuts::isSingleComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

void MacShortcuts::run(const std::string& name) {
    if (!isSingleComponent(name)) throw DeckError::malformedPayload();
    auto shortcuts = folder();
    if (!shortcuts || process::Shell::run((*shortcuts / name).string(), {}, timeout_).status != 0)
        throw DeckError::invalidState("Shortcut \u201C" + name + "\u201D could not be run.");
}

}  // namespace veltrane::deck
