# A GTK window shaped like QQ Music's player: a frame whose child is a filler
# described as the control bar, holding buttons with the given descriptions.
# Usage: qq_window.py PROGRAM-NAME DESCRIPTION...
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

GLib.set_prgname(sys.argv[1])
window = Gtk.Window(title="player")
bar = Gtk.Box()
bar.get_accessible().set_description("播放控制栏")
for description in sys.argv[2:]:
    button = Gtk.Button(label="·")
    button.get_accessible().set_description(description)
    bar.add(button)
window.add(bar)
window.show_all()
print("ready", flush=True)
Gtk.main()
