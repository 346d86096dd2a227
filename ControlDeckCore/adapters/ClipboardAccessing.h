#pragma once

#include <optional>
#include <string>

namespace veltrane::deck {

class ClipboardAccessing {
public:
    virtual ~ClipboardAccessing() = default;
    virtual std::optional<std::string> readString() = 0;
    // True when readString() answers from memory, never waiting on another
    // program (the owner of a selection).
    virtual bool readsAtOnce() const { return false; }
    // Replaces the clipboard's content. A write that did not happen throws
    // (DeckError), so a failed copy is never answered as a success.
    virtual void writeString(const std::string& text) = 0;
};

}  // namespace veltrane::deck
