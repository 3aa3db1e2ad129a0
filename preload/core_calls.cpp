// The one lock.
//
// The core keeps no locks of its own and must never run on two threads at once, and programs
// take events on one thread and present frames on another. Every call into it is made here,
// under one mutex. A thread-local flag marks a thread that holds it: a hook reached again from
// inside the core (the client fetching GL entry points through dlsym, FFmpeg's constructors
// calling dlsym while the core loads) forwards straight to the real function instead of
// locking a second time. The flag is initial-exec for the reason real_dlsym.cpp gives.
#include "core_calls.h"

#include "core_loader.h"
#include "glx_windows.h"
#include "preload_log.h"
#include "real_functions.h"
#include "recording_target.h"
#include "start_press.h"

#include <pthread.h>

#include <atomic>

namespace {

enum CoreState { NotTried, Loaded, Failed };

pthread_mutex_t coreLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> state{NotTried};
const CoreEntries *core = nullptr;
bool startPressDue = false;
std::atomic<bool> startPressMissingSaid{false};
__thread bool inside __attribute__((tls_model("initial-exec")));

// fork() copies the lock as it stands: taken by a thread that is inside the core right now, it
// would stay taken for ever in the child, whose only thread then hangs at its first swap. The
// fork waits for the core call to end instead, and both sides carry on with the lock free.
void lockForFork() { pthread_mutex_lock(&coreLock); }
void unlockAfterFork() { pthread_mutex_unlock(&coreLock); }

struct Held {
    Held() {
        pthread_mutex_lock(&coreLock);
        inside = true;
    }
    ~Held() {
        inside = false;
        pthread_mutex_unlock(&coreLock);
    }
};

}  // namespace

bool insideCore() { return inside; }

bool coreLoaded() { return state.load(std::memory_order_acquire) == Loaded; }

bool coreReady() {
    int now = state.load(std::memory_order_acquire);
    if (now != NotTried) return now == Loaded;
    Held held;
    if (state.load(std::memory_order_relaxed) == NotTried) {
        core = loadCore();
        if (core) pthread_atfork(lockForFork, unlockAfterFork, unlockAfterFork);
        startPressDue = core && recordAtStart();
        state.store(core ? Loaded : Failed, std::memory_order_release);
    }
    return core != nullptr;
}

namespace {

void eventUnderLock(Display *display, XEvent *event) {
    if (event->type == KeyPress) {
        auto toKeycode = reinterpret_cast<KeysymToKeycodeFunction>(realFunction(Real::KeysymToKeycode));
        noteEvent(display, event, core->settings->hotkey, toKeycode);
    }
    core->event(display, event);
}

}  // namespace

void passEvent(Display *display, XEvent *event) {
    if (!coreLoaded()) return;
    Held held;
    eventUnderLock(display, event);
}

void passFrame(Display *display, Drawable drawable) {
    // Looked up before the core lock is taken: the two locks are never held together.
    Drawable window = windowOf(display, drawable);
    Held held;
    if (startPressDue) {
        startPressDue = false;
        XEvent press;
        auto toKeycode = reinterpret_cast<KeysymToKeycodeFunction>(realFunction(Real::KeysymToKeycode));
        if (makeStartPress(display, core->settings->hotkey, toKeycode, &press))
            eventUnderLock(display, &press);
        else
            reportOnce(startPressMissingSaid,
                       "%s(): couldn't press the hotkey for `vorna run --record` (%s); nothing is recorded until "
                       "it is pressed\n",
                       "glXSwapBuffers", toKeycode ? "it has no key code" : "XKeysymToKeycode not found");
    }
    if (window != None && isTarget(window)) core->capture(display, window);
}
