#!/usr/bin/env python3
"""Presses and releases X11 key codes through XTest, as a keyboard that
brings its own key map does: which symbol a code types is the key map's
business, not the keyboard's.

Usage: press_keys.py STEP...   with STEP down:CODE, up:CODE or wait:SECONDS
"""
import ctypes
import sys
import time

x11 = ctypes.CDLL("libX11.so.6")
xtest = ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
xtest.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]

display = x11.XOpenDisplay(None)
if not display:
    sys.exit("press_keys: no X display")
for step in sys.argv[1:]:
    what, value = step.split(":")
    if what == "wait":
        time.sleep(float(value))
        continue
    xtest.XTestFakeKeyEvent(display, int(value), 1 if what == "down" else 0, 0)
    x11.XSync(display, 0)
x11.XCloseDisplay(display)
