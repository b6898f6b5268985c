#!/usr/bin/python3
# Another toolkit's window on the same X server, for the window's drag-and-drop tests: a drag
# source as a file manager's file icons are, or a drop target as a file manager's folder is.
#   gtk_peer.py source FILE...  a window titled "peer-source" whose label drags FILE... (copy)
#   gtk_peer.py target OUT      a window titled "peer-target"; the URIs dropped on it are
#                               written to OUT, one per line (OUT appears whole, when all came)
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, Gio, Gtk  # noqa: E402

mode = sys.argv[1]
window = Gtk.Window(title="peer-" + mode)
window.set_default_size(220, 220)
window.connect("destroy", Gtk.main_quit)
area = Gtk.EventBox()
area.add(Gtk.Label(label=mode))
window.add(area)
targets = [Gtk.TargetEntry.new("text/uri-list", 0, 0)]

if mode == "source":
    uris = [Gio.File.new_for_path(path).get_uri() for path in sys.argv[2:]]
    area.drag_source_set(Gdk.ModifierType.BUTTON1_MASK, targets, Gdk.DragAction.COPY)
    area.connect("drag-data-get", lambda w, context, data, info, time: data.set_uris(uris))
else:
    out = sys.argv[2]
    area.drag_dest_set(Gtk.DestDefaults.ALL, targets, Gdk.DragAction.COPY)

    def received(widget, context, x, y, data, info, time):
        with open(out + ".part", "w") as f:
            f.write("".join(uri + "\n" for uri in data.get_uris()))
        os.rename(out + ".part", out)

    area.connect("drag-data-received", received)

window.show_all()
print("ready", flush=True)
Gtk.main()
