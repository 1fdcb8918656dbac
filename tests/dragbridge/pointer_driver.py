#!/usr/bin/python3
"""Drives the pointer and keyboard of the X server through XTest, one command
a line on standard input, so that a test moves the pointer without starting
a process per step (which would stall the test's own event loop):

    move X Y | down | up | key KEYSYM-NAME | icons

Prints "ok" once the server has carried each command out ("ok N" for icons:
how many drag icon windows are on the screen); "READY 0" first.
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
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                           ctypes.POINTER(ctypes.c_ulong),
                           ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                           ctypes.POINTER(ctypes.c_uint)]
x11.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
x11.XFree.argtypes = [ctypes.c_void_p]
xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                      ctypes.c_ulong]
xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]


# A window may vanish between listing and naming it: its BadWindow must not
# end the driver, as Xlib's default handler would.
ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
ignore_errors = ERROR_HANDLER(lambda dpy, error: 0)
x11.XSetErrorHandler.argtypes = [ERROR_HANDLER]
x11.XSetErrorHandler.restype = ctypes.c_void_p


def icons(dpy):
    root, parent = ctypes.c_ulong(), ctypes.c_ulong()
    children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
    if not x11.XQueryTree(dpy, x11.XDefaultRootWindow(dpy), ctypes.byref(root),
                          ctypes.byref(parent), ctypes.byref(children), ctypes.byref(count)):
        return 0
    found = 0
    for i in range(count.value):
        name = ctypes.c_char_p()
        if x11.XFetchName(dpy, children[i], ctypes.byref(name)) and name.value:
            found += name.value == b"dragbridge drag icon"
            x11.XFree(ctypes.cast(name, ctypes.c_void_p))
    if children:
        x11.XFree(children)
    return found


def main():
    dpy = x11.XOpenDisplay(None)
    if not dpy:
        sys.exit("pointer_driver: cannot open display")
    x11.XSetErrorHandler(ignore_errors)
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
        print("ok %d" % icons(dpy) if words[0] == "icons" else "ok", flush=True)


if __name__ == "__main__":
    main()
