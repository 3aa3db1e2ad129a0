// The one lock.
//
// The core keeps no locks of its own and must never run on two threads at once, and programs
// take events on one thread and present frames on another. Every call into it is made here,
// under one mutex. A thread-local flag marks a thread that holds it: a hook reached again from
// inside the core (the client fetching GL entry points through dlsym, FFmpeg's constructors
// calling dlsym while the core loads) forwards straight to the real function instead of
// locking a second time. The flag is initial-exec for the reason real_dlsym.cpp gives.
//
// An event thread never waits for the lock. A program that holds XLockDisplay around its event
// calls would otherwise wait for us while the thread inside the core waits for that display
// (XGetGeometry when a recording starts): both hang for good. A key press that finds the lock
// taken is queued, and whoever holds the lock hands it to the core before letting go. The core
// acts on key presses only, so other events that find it busy are passed over.
#include "core_calls.h"

#include "core_loader.h"
#include "glx_drawables.h"
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
bool keyboardMapped = false;
std::atomic<bool> startPressMissingSaid{false};
__thread bool inside __attribute__((tls_model("initial-exec")));

// Key presses that found the lock taken, oldest first. queueLock is held for a copy in or out
// and around no other call, so it can be taken with or without the core lock.
struct Queued {
    Display *display;
    XEvent event;
};
constexpr int queueCapacity = 64;
Queued queue[queueCapacity];
int queueHead = 0;
std::atomic<int> queueCount{0};
pthread_mutex_t queueLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> queueFullSaid{false};

// fork() copies the locks as they stand: taken by a thread that is inside the core right now,
// the core lock would stay taken for ever in the child, whose only thread then hangs at its
// first swap. The fork waits for the core call to end instead, and both sides carry on with the
// locks free.
void lockForFork() {
    pthread_mutex_lock(&coreLock);
    pthread_mutex_lock(&queueLock);
}
void unlockAfterFork() {
    pthread_mutex_unlock(&queueLock);
    pthread_mutex_unlock(&coreLock);
}

bool enqueue(Display *display, const XEvent *event) {
    pthread_mutex_lock(&queueLock);
    const int count = queueCount.load(std::memory_order_relaxed);
    const bool room = count < queueCapacity;
    if (room) {
        queue[(queueHead + count) % queueCapacity] = Queued{display, *event};
        queueCount.store(count + 1);
    }
    pthread_mutex_unlock(&queueLock);
    return room;
}

bool dequeue(Queued *out) {
    pthread_mutex_lock(&queueLock);
    const int count = queueCount.load(std::memory_order_relaxed);
    if (count > 0) {
        *out = queue[queueHead];
        queueHead = (queueHead + 1) % queueCapacity;
        queueCount.store(count - 1);
    }
    pthread_mutex_unlock(&queueLock);
    return count > 0;
}

void eventUnderLock(Display *display, XEvent *event);

// Every frame comes through here: an empty queue costs one atomic load, not a lock.
void drainQueue() {
    if (queueCount.load() == 0) return;
    for (Queued queued; core && dequeue(&queued);) eventUnderLock(queued.display, &queued.event);
}

// Lets go of the lock once the queue is handed on. A press queued after the last look but
// before the unlock is taken up again here, or by its own thread's second try: never left.
void release() {
    for (;;) {
        drainQueue();
        inside = false;
        pthread_mutex_unlock(&coreLock);
        if (queueCount.load() == 0 || pthread_mutex_trylock(&coreLock) != 0) return;
        inside = true;
    }
}

struct Held {
    Held() {
        pthread_mutex_lock(&coreLock);
        inside = true;
    }
    ~Held() { release(); }
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
    // A window that went with its parent was never handed to XDestroyWindow; the program hears
    // of it from the server.
    if (event->type == DestroyNotify) forgetTarget(event->xdestroywindow.window);
    if (pthread_mutex_trylock(&coreLock) == 0) {
        inside = true;
        drainQueue();
        eventUnderLock(display, event);
        release();
        return;
    }
    if (event->type != KeyPress) return;
    if (!enqueue(display, event)) {
        reportOnce(queueFullSaid, "more than %d key presses came while Vorna was busy; some of them did not reach it\n",
                   queueCapacity);
        return;
    }
    if (pthread_mutex_trylock(&coreLock) == 0) {
        inside = true;
        release();
    }
}

void passFrame(Display *display, Drawable drawable) {
    // Looked up before the core lock is taken: the two locks are never held together.
    Drawable window = windowOf(display, drawable);
    Held held;
    drainQueue();
    auto toKeycode = reinterpret_cast<KeysymToKeycodeFunction>(realFunction(Real::KeysymToKeycode));
    // XKeysymToKeycode fetches the keyboard mapping at its first use, under the display lock.
    // Fetched here, on the drawing thread, a press handed on later needs no lock of Xlib's.
    if (!keyboardMapped && toKeycode) {
        toKeycode(display, core->settings->hotkey);
        keyboardMapped = true;
    }
    if (startPressDue) {
        startPressDue = false;
        XEvent press;
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
