#!/usr/bin/python3
"""A plain X11 window (bare Xlib through ctypes) standing in for a host window.

    host_window.py X Y WIDTH HEIGHT [--silent-target]

It is not an XDND drop target; with --silent-target it claims to be one
(XdndAware version 5) but never answers, like a hung application. It selects button presses, so a press on it
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
x11.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong,
                                ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
XA_ATOM = 4

BUTTON_PRESS_MASK, BUTTON_RELEASE_MASK, EXPOSURE_MASK = 1 << 2, 1 << 3, 1 << 15


def main():
    x, y, w, h = (int(v) for v in sys.argv[1:5])
    dpy = x11.XOpenDisplay(None)
    if not dpy:
        sys.exit("host_window: cannot open display")
    win = x11.XCreateSimpleWindow(dpy, x11.XDefaultRootWindow(dpy), x, y, w, h, 0, 0, 0xC0C0C0)
    x11.XStoreName(dpy, win, b"host")
    x11.XSelectInput(dpy, win, BUTTON_PRESS_MASK | BUTTON_RELEASE_MASK | EXPOSURE_MASK)
    if "--silent-target" in sys.argv[5:]:
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
        ready, _, _ = select.select([fd, sys.stdin], [], [])
        if sys.stdin in ready and not os.read(sys.stdin.fileno(), 4096):
            break


if __name__ == "__main__":
    main()
