#!/usr/bin/python3
"""A plain X11 window (bare Xlib through ctypes) standing in for a host window.

    host_window.py X Y WIDTH HEIGHT [--silent-target | --garbage-target]

It is not an XDND drop target; with --silent-target it claims to be one
(XdndAware version 5) but never answers, like a hung application; with
--garbage-target it answers every XdndPosition with malformed XdndStatus
messages (another window's id, format 8, every flag set with an action no
source offers, a stranger's id accepting) and a Drop, should one come, with
Finished from the wrong window; it prints "GARBAGE <count>" after each
batch. It selects button presses, so a press on it
holds the pointer as a real host window does when a drag begins. Prints
"READY <window id>" once it is on screen; ends when standard input closes.
"""
import ctypes
import os
import select
import sys

x11 = ctypes.CDLL("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XCreateSimpleWindow.restype = ctypes.c_ulong
x11.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                    ctypes.c_uint, ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong,
                                    ctypes.c_ulong]
x11.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
x11.XMapWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XPending.argtypes = [ctypes.c_void_p]
x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
x11.XConnectionNumber.argtypes = [ctypes.c_void_p]
x11.XStoreName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_char_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                          ctypes.c_void_p]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong,
                                ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
XA_ATOM = 4

BUTTON_PRESS_MASK, BUTTON_RELEASE_MASK, EXPOSURE_MASK = 1 << 2, 1 << 3, 1 << 15
CLIENT_MESSAGE = 33
XA_STRING = 31


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("l", ctypes.c_long * 5)]


def garbage(dpy, win, atoms, source, kind):
    """Malformed answers to the source's message of `kind`; returns how many."""
    sent = 0

    def send(message_type, fmt, l0, l1, l2, l3, l4):
        nonlocal sent
        ev = ctypes.create_string_buffer(192)
        cm = ClientMessage.from_buffer(ev)
        cm.type, cm.window, cm.message_type, cm.format = CLIENT_MESSAGE, source, message_type, fmt
        for i, v in enumerate((l0, l1, l2, l3, l4)):
            cm.l[i] = ctypes.c_long(v & 0xFFFFFFFFFFFFFFFF).value
        x11.XSendEvent(dpy, source, 0, 0, ev)
        sent += 1

    if kind == atoms["XdndPosition"]:
        status = atoms["XdndStatus"]
        send(status, 32, win + 1, 3, 0, 0, atoms["XdndActionCopy"])  # another window accepts
        send(status, 8, win, -1, -1, -1, -1)  # not format 32
        send(status, 32, win, -1, -1, -1, XA_STRING)  # every flag, no action offered
        send(status, 32, 0x7FFFFFF0, 1, 0, 0, atoms["XdndActionCopy"])  # a stranger accepts
        send(atoms["XdndFinished"], 32, win, 1, 0, 0, 0)  # Finished before any Drop
    elif kind == atoms["XdndDrop"]:
        send(atoms["XdndFinished"], 32, win + 1, 1, atoms["XdndActionCopy"], 0, 0)
    x11.XFlush(dpy)
    return sent


def main():
    x, y, w, h = (int(v) for v in sys.argv[1:5])
    dpy = x11.XOpenDisplay(None)
    if not dpy:
        sys.exit("host_window: cannot open display")
    win = x11.XCreateSimpleWindow(dpy, x11.XDefaultRootWindow(dpy), x, y, w, h, 0, 0, 0xC0C0C0)
    x11.XStoreName(dpy, win, b"host")
    x11.XSelectInput(dpy, win, BUTTON_PRESS_MASK | BUTTON_RELEASE_MASK | EXPOSURE_MASK)
    garbage_target = "--garbage-target" in sys.argv[5:]
    atoms = {name: x11.XInternAtom(dpy, name.encode(), 0)
             for name in ("XdndPosition", "XdndStatus", "XdndDrop", "XdndFinished",
                          "XdndActionCopy")}
    if "--silent-target" in sys.argv[5:] or garbage_target:
        version = ctypes.c_ulong(5)
        x11.XChangeProperty(dpy, win, x11.XInternAtom(dpy, b"XdndAware", 0), XA_ATOM, 32, 0,
                            ctypes.byref(version), 1)
    x11.XMapWindow(dpy, win)
    x11.XSync(dpy, 0)
    print("READY %d" % win, flush=True)
    event = ctypes.create_string_buffer(192)
    fd = x11.XConnectionNumber(dpy)
    while True:
        while x11.XPending(dpy):
            x11.XNextEvent(dpy, event)
            cm = ClientMessage.from_buffer(event)
            if garbage_target and cm.type == CLIENT_MESSAGE and cm.format == 32:
                n = garbage(dpy, win, atoms, cm.l[0] & 0xFFFFFFFF, cm.message_type)
                if n:
                    print("GARBAGE %d" % n, flush=True)
        ready, _, _ = select.select([fd, sys.stdin], [], [])
        if sys.stdin in ready and not os.read(sys.stdin.fileno(), 4096):
            break


if __name__ == "__main__":
    main()
