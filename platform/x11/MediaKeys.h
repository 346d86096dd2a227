#pragma once
// Hardware media keys synthesised with XTest on $DISPLAY, so whatever the
// desktop binds to them (a player, a media-key daemon) acts as on a real
// keyboard.

namespace veltrane::x11 {

enum class MediaKey { play, next, previous };

// Presses and releases the key. False when no display is reachable, the
// server lacks XTest or has no keycode for the key: the key is then skipped.
bool postMediaKey(MediaKey key);

}  // namespace veltrane::x11
