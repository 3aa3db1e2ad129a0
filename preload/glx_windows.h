// GLXWindows and the X windows they were made for.
#ifndef VORNA_PRELOAD_GLX_WINDOWS_H
#define VORNA_PRELOAD_GLX_WINDOWS_H

#include <GL/glx.h>

// How many GLXWindows are known at once.
constexpr int glxWindowCapacity = 32;

// After a glXCreateWindow that gave `glxWindow` for `window`. False when the table is full;
// the GLXWindow is then counted as one that is not known.
bool rememberGlxWindow(Display *display, GLXWindow glxWindow, Window window);

// Before glXDestroyWindow.
void forgetGlxWindow(Display *display, GLXWindow glxWindow);

// The X window that a frame of `drawable` shows: for a known GLXWindow the window it was made
// for, else `drawable` itself. None while a GLXWindow that did not fit lives and `drawable` is
// not known, for it may be that one.
Drawable windowOf(Display *display, Drawable drawable);

#endif
