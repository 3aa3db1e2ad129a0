// GLX drawables and the X windows they show.
#ifndef VORNA_PRELOAD_GLX_DRAWABLES_H
#define VORNA_PRELOAD_GLX_DRAWABLES_H

#include <GL/glx.h>

// How many GLXWindows, GLXPbuffers and GLXPixmaps are known at once. Old programs keep a pbuffer
// or pixmap for each of their render targets; one that does not fit stops every drawable the
// table does not know from being recorded.
constexpr int glxDrawableCapacity = 256;

// After a glXCreateWindow that gave `drawable` for `window`, or a glXCreatePbuffer,
// glXCreatePixmap or glXCreateGLXPixmap that gave `drawable` with `window` None: those show no
// window. False when the table is full; the drawable is then counted as one that is not known.
bool rememberGlxDrawable(Display *display, GLXDrawable drawable, Window window);

// Before the drawable is destroyed.
void forgetGlxDrawable(Display *display, GLXDrawable drawable);

// Before XCloseDisplay, which ends every drawable the connection made: their ids may come back
// on a later connection, which may even get the same Display address.
void forgetGlxDrawables(Display *display);

// The X window that a frame of `drawable` shows: for a known GLXWindow the window it was made
// for, for a known pbuffer or pixmap None, else `drawable` itself. None while a drawable that
// did not fit lives and `drawable` is not known, for it may be that one.
Drawable windowOf(Display *display, Drawable drawable);

#endif
