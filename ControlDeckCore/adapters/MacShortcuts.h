#pragma once
// Shortcuts are the user's own executables in
// $XDG_CONFIG_HOME/veltrane/shortcuts, run by name.

#include <filesystem>
#include <optional>

#include "ControlDeckCore/adapters/ShortcutRunning.h"

namespace veltrane::deck {

class MacShortcuts : public ShortcutRunning {
public:
    static constexpr double kTimeout = 30.0;  // seconds a Shortcut may run

    explicit MacShortcuts(double timeout = kTimeout) : timeout_(timeout) {}

    // A name that is not a single folder entry is refused with
    // DeckError::malformedPayload, so no name reaches outside the folder.
    // A Shortcut that is missing, fails, or runs past the time-out (it is
    // then stopped) throws DeckError::invalidState
    // "Shortcut “<name>” could not be run.".
    void run(const std::string& name) override;

    // $XDG_CONFIG_HOME/veltrane/shortcuts; none without a home folder.
    static std::optional<std::filesystem::path> folder();

    // Not empty, no "/" or NUL, not "." or "..".
    static bool isSingleComponent(const std::string& name);

private:
    double timeout_;
};

}  // namespace veltrane::deck
