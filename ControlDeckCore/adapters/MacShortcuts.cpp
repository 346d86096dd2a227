#include "ControlDeckCore/adapters/MacShortcuts.h"

#include "ControlDeckCore/server/DeckError.h"
#include "ControlDeckCore/server/Shell.h"
#include "platform/system/UserDirectories.h"

namespace veltrane::deck {

std::filesystem::path MacShortcuts::folder() { return sys::userConfigHome() / "veltrane" / "shortcuts"; }

bool MacShortcuts::isSingleComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

void MacShortcuts::run(const std::string& name) {
    if (!isSingleComponent(name)) throw DeckError::malformedPayload();
    ShellResult result = Shell::run((folder() / name).string(), {}, timeout_);
    if (result.status != 0) throw DeckError::invalidState("Shortcut \u201C" + name + "\u201D could not be run.");
}

}  // namespace veltrane::deck
