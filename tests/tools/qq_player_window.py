# A GTK window shaped like QQ Music's player: a box described as the control
# bar, holding one button per item ("desc:TEXT" a button described TEXT,
# "name:TEXT" a button labelled TEXT). Each standard-input line replaces the
# buttons with its tab-separated items; "ready" follows every change.
# Usage: qq_player_window.py PROGRAM-NAME ITEM...
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

GLib.set_prgname(sys.argv[1])
window = Gtk.Window(title="player")
bar = Gtk.Box()
bar.get_accessible().set_description("播放控制栏")
window.add(bar)


def fill(items):
    for child in bar.get_children():
        bar.remove(child)
    for item in items:
        kind, _, text = item.partition(":")
        button = Gtk.Button(label=text if kind == "name" else "·")
        if kind == "desc":
            button.get_accessible().set_description(text)
        bar.add(button)
    window.show_all()
    print("ready", flush=True)


def on_input(channel, condition):
    line = channel.readline()
    if not line:
        Gtk.main_quit()
        return False
    fill([item for item in line.rstrip("\n").split("\t") if item])
    return True


fill(sys.argv[2:])
GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.IO_IN | GLib.IO_HUP, on_input)
Gtk.main()
