// Loading libvorna.so into the program, privately, at the first frame.
#ifndef VORNA_PRELOAD_CORE_LOADER_H
#define VORNA_PRELOAD_CORE_LOADER_H

#include <vorna.h>

struct CoreEntries {
    void (*event)(Display *display, XEvent *event);
    void (*capture)(Display *display, Drawable drawable);
    Settings *settings;
};

// Loads the core that sits next to this library and resolves its entries. Null on failure,
// which is reported once. Called once, under the core lock.
const CoreEntries *loadCore();

#endif
