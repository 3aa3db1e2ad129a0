// GLX drawables and the X windows they show.
//
// glXCreateWindow hands out a new XID that names a GLX resource, not a window: the X server
// answers XGetGeometry on it with BadDrawable, and Xlib's default error handler ends the
// program. Programs that draw to one swap that id, so the core is handed the X window instead.
// GLXPbuffers and GLXPixmaps are GLX resources too, and a swap of one does nothing (GLX says
// so): they show no window, and their swaps never reach the core.
//
// A fixed table, filled and emptied by our create and destroy hooks. Its lock is held for a
// scan of the table and nothing else, never together with the core lock, so the two need no
// order; fork() waits for it as for the core lock. Until the first GLX drawable is made a swap
// does not take it at all.
#include "glx_drawables.h"

#include <pthread.h>

#include <atomic>

namespace {

struct Entry {
    Display *display;
    GLXDrawable drawable;  // None marks a free entry
    Window window;         // None for a pbuffer or pixmap
};

Entry entries[glxDrawableCapacity];
int unknownAlive = 0;
std::atomic<bool> used{false};
pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t forkWatch = PTHREAD_ONCE_INIT;

void lockForFork() { pthread_mutex_lock(&tableLock); }
void unlockAfterFork() { pthread_mutex_unlock(&tableLock); }
void watchForks() { pthread_atfork(lockForFork, unlockAfterFork, unlockAfterFork); }

struct Locked {
    Locked() { pthread_mutex_lock(&tableLock); }
    ~Locked() { pthread_mutex_unlock(&tableLock); }
};

Entry *find(Display *display, XID drawable) {
    for (Entry &entry : entries)
        if (entry.drawable == drawable && entry.display == display) return &entry;
    return nullptr;
}

}  // namespace

bool rememberGlxDrawable(Display *display, GLXDrawable drawable, Window window) {
    pthread_once(&forkWatch, watchForks);
    Locked locked;
    used.store(true, std::memory_order_release);
    // An id the server handed out again after a destroy we never saw.
    Entry *entry = find(display, drawable);
    if (!entry) entry = find(nullptr, None);
    if (!entry) {
        ++unknownAlive;
        return false;
    }
    *entry = Entry{display, drawable, window};
    return true;
}

void forgetGlxDrawable(Display *display, GLXDrawable drawable) {
    if (!used.load(std::memory_order_acquire) || drawable == None) return;
    Locked locked;
    if (Entry *entry = find(display, drawable))
        *entry = Entry{nullptr, None, None};
    else if (unknownAlive > 0)
        --unknownAlive;
}

void forgetGlxDrawables(Display *display) {
    if (!used.load(std::memory_order_acquire)) return;
    Locked locked;
    for (Entry &entry : entries)
        if (entry.display == display) entry = Entry{nullptr, None, None};
}

Drawable windowOf(Display *display, Drawable drawable) {
    if (!used.load(std::memory_order_acquire)) return drawable;
    Locked locked;
    if (const Entry *entry = find(display, drawable)) return entry->window;
    return unknownAlive > 0 ? None : drawable;
}
