#!/usr/bin/python3
"""A GTK 3 drop target for the drag tests.

    gtk_drop_target.py X Y WIDTH HEIGHT

Shows a window at X,Y that accepts text/uri-list drops. Prints
"READY <window id>" once it is on screen, then one line per drop:
"DROP <JSON list of the URIs received, in order>" (JSON keeps any odd
byte of a path visible). Ends when standard input closes.
"""
import json
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import GLib, Gdk, Gtk  # noqa: E402


def main():
    x, y, w, h = (int(v) for v in sys.argv[1:5])
    win = Gtk.Window(title="drop target")
    win.set_decorated(False)
    win.set_default_size(w, h)
    win.move(x, y)
    area = Gtk.EventBox()
    win.add(area)
    area.drag_dest_set(Gtk.DestDefaults.ALL, [], Gdk.DragAction.COPY)
    area.drag_dest_add_uri_targets()

    def received(_widget, context, _x, _y, data, _info, time):
        uris = data.get_uris() or []
        print("DROP " + json.dumps(uris), flush=True)
        Gtk.drag_finish(context, True, False, time)

    area.connect("drag-data-received", received)

    def mapped(*_):
        GLib.timeout_add(100, lambda: print("READY %d" % win.get_window().get_xid(), flush=True)
                         and False)

    win.connect("map-event", mapped)
    win.show_all()
    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, lambda *a: Gtk.main_quit())
    Gtk.main()


if __name__ == "__main__":
    main()
