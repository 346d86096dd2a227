#include "ControlDeckCore/lyrics/LyricsRecords.h"

#include "platform/text/CanonicalText.h"

namespace veltrane::lyrics {

bool LyricsLine::operator==(const LyricsLine& other) const {
    return time == other.time && text::canonicallyEqual(text, other.text);
}

bool LyricsSnapshot::operator==(const LyricsSnapshot& other) const {
    if (!text::canonicallyEqual(provider, other.provider) || synced != other.synced || lines != other.lines)
        return false;
    if (plain.has_value() != other.plain.has_value()) return false;
    return !plain || text::canonicallyEqual(*plain, *other.plain);
}

}  // namespace veltrane::lyrics
