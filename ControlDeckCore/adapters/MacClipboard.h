#pragma once
// The desktop clipboard as text (the display server's CLIPBOARD selection).

#include "ControlDeckCore/adapters/ClipboardAccessing.h"
#include "platform/x11/ClipboardSelection.h"

namespace veltrane::deck {

class MacClipboard : public ClipboardAccessing {
public:
    static constexpr const char* kWriteFailed = "The clipboard could not be written.";

    // The clipboard's text; none when it holds none or cannot be reached.
    std::optional<std::string> readString() override;
    // After it returns, other applications paste `text`; we keep serving it
    // until one of them copies something else. A write that did not happen
    // throws DeckError::invalidState with kWriteFailed.
    void writeString(const std::string& text) override;

private:
    x11::ClipboardSelection selection_;
};

}  // namespace veltrane::deck
