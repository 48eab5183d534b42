#!/usr/bin/python3
"""Asks a top-level X11 window to close, the way a window manager's close button does.

Under Xvfb there is no window manager, and killing the process would skip the program's
close handler. This sends WM_DELETE_WINDOW to every top-level window whose title matches.

Usage: x11_close.py TITLE   (DISPLAY must be set)
"""
import ctypes
import ctypes.util
import sys

xlib = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11"))
xlib.XOpenDisplay.restype = ctypes.c_void_p
xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
xlib.XDefaultRootWindow.restype = ctypes.c_ulong
xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
xlib.XInternAtom.restype = ctypes.c_ulong
xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
xlib.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                            ctypes.POINTER(ctypes.c_ulong),
                            ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                            ctypes.POINTER(ctypes.c_uint)]
xlib.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                            ctypes.c_void_p]
xlib.XFlush.argtypes = [ctypes.c_void_p]
xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
xlib.XFree.argtypes = [ctypes.c_void_p]


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


CLIENT_MESSAGE = 33


def top_level_windows(display):
    root = xlib.XDefaultRootWindow(display)
    root_return, parent_return = ctypes.c_ulong(), ctypes.c_ulong()
    children = ctypes.POINTER(ctypes.c_ulong)()
    count = ctypes.c_uint()
    if not xlib.XQueryTree(display, root, ctypes.byref(root_return), ctypes.byref(parent_return),
                           ctypes.byref(children), ctypes.byref(count)):
        return []
    windows = [children[i] for i in range(count.value)]
    if children:
        xlib.XFree(children)
    return windows


def window_title(display, window):
    name = ctypes.c_char_p()
    if xlib.XFetchName(display, window, ctypes.byref(name)) and name.value is not None:
        return name.value.decode("utf-8", "replace")
    return None


def main():
    title = sys.argv[1]
    display = xlib.XOpenDisplay(None)
    if not display:
        sys.exit("cannot open the X display")
    protocols = xlib.XInternAtom(display, b"WM_PROTOCOLS", 0)
    delete = xlib.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    sent = 0
    for window in top_level_windows(display):
        if window_title(display, window) != title:
            continue
        event = XEvent()
        event.xclient.type = CLIENT_MESSAGE
        event.xclient.window = window
        event.xclient.message_type = protocols
        event.xclient.format = 32
        event.xclient.data[0] = delete
        xlib.XSendEvent(display, window, 0, 0, ctypes.byref(event))
        sent += 1
    xlib.XFlush(display)
    xlib.XCloseDisplay(display)
    if sent == 0:
        sys.exit(f"no window titled {title!r}")


if __name__ == "__main__":
    main()
