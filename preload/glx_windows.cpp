// GLXWindows and the X windows they were made for.
//
// glXCreateWindow hands out a new XID that names a GLX resource, not a window: the X server
// answers XGetGeometry on it with BadDrawable, and Xlib's default error handler ends the
// program. Programs that draw to one swap that id, so the core is handed the X window instead.
//
// A fixed table, filled and emptied by our glXCreateWindow and glXDestroyWindow hooks. Its lock
// is held for a scan of the table and nothing else, never together with the core lock, so the
// two need no order; fork() waits for it as for the core lock. Until the first GLXWindow a swap
// does not take it at all.
#include "glx_windows.h"

#include <pthread.h>

#include <atomic>

namespace {

struct Entry {
    Display *display;
    GLXWindow glxWindow;  // None marks a free entry
    Window window;
};

Entry entries[glxWindowCapacity];
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

Entry *find(Display *display, XID glxWindow) {
    for (Entry &entry : entries)
        if (entry.glxWindow == glxWindow && entry.display == display) return &entry;
    return nullptr;
}

}  // namespace

bool rememberGlxWindow(Display *display, GLXWindow glxWindow, Window window) {
    pthread_once(&forkWatch, watchForks);
    Locked locked;
    used.store(true, std::memory_order_release);
    // An id the server handed out again after a destroy we never saw.
    Entry *entry = find(display, glxWindow);
    if (!entry) entry = find(nullptr, None);
    if (!entry) {
        ++unknownAlive;
        return false;
    }
    *entry = Entry{display, glxWindow, window};
    return true;
}

void forgetGlxWindow(Display *display, GLXWindow glxWindow) {
    if (!used.load(std::memory_order_acquire) || glxWindow == None) return;
    Locked locked;
    if (Entry *entry = find(display, glxWindow))
        *entry = Entry{nullptr, None, None};
    else if (unknownAlive > 0)
        --unknownAlive;
}

Drawable windowOf(Display *display, Drawable drawable) {
    if (!used.load(std::memory_order_acquire)) return drawable;
    Locked locked;
    if (const Entry *entry = find(display, drawable)) return entry->window;
    return unknownAlive > 0 ? None : drawable;
}
