#include "ControlDeckCore/adapters/MacClipboard.h"

#include "ControlDeckCore/shared/DeckError.h"

namespace veltrane::deck {

std::optional<std::string> MacClipboard::readString() { return selection_.read(); }

void MacClipboard::writeString(const std::string& text) {
    if (!selection_.write(text)) throw DeckError::invalidState(kWriteFailed);
}

}  // namespace veltrane::deck
