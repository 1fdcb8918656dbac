#!/usr/bin/python3
"""Drives the pointer and keyboard of the X server through XTest, one command
a line on standard input, so that a test moves the pointer without starting
a process per step (which would stall the test's own event loop):

    move X Y | down | up | key KEYSYM-NAME

Prints "ok" once the server has carried each command out; "READY 0" first.
"""
import ctypes
import sys

x11 = ctypes.CDLL("libX11.so.6")
xtst = ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XStringToKeysym.restype = ctypes.c_ulong
x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
x11.XKeysymToKeycode.restype = ctypes.c_ubyte
x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                      ctypes.c_ulong]
xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]


def main():
    dpy = x11.XOpenDisplay(None)
    if not dpy:
        sys.exit("pointer_driver: cannot open display")
    print("READY 0", flush=True)
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "move":
            xtst.XTestFakeMotionEvent(dpy, -1, int(words[1]), int(words[2]), 0)
        elif words[0] in ("down", "up"):
            xtst.XTestFakeButtonEvent(dpy, 1, words[0] == "down", 0)
        elif words[0] == "key":
            code = x11.XKeysymToKeycode(dpy, x11.XStringToKeysym(words[1].encode()))
            xtst.XTestFakeKeyEvent(dpy, code, 1, 0)
            xtst.XTestFakeKeyEvent(dpy, code, 0, 0)
        x11.XSync(dpy, 0)
        print("ok", flush=True)


if __name__ == "__main__":
    main()
