// The core's three hot paths: a frame call while Idle, a frame call while Capturing (the client
// does nothing), and a key press that is not the hotkey. Each also counts the heap allocations
// made while it runs; the "allocs" counter must stay 0.
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <atomic>
#include <cstddef>

#include "mivo.h"
#include "vorna.h"

#define BENCH_EXPORT extern "C" __attribute__((visibility("default")))

// glibc lets a program replace malloc by defining these four; the originals stay reachable
// under their __libc_ names.
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

static std::atomic<bool> counting{false};
static std::atomic<long> allocations{0};

BENCH_EXPORT void *malloc(size_t size)
{
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

BENCH_EXPORT void *calloc(size_t count, size_t size)
{
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

BENCH_EXPORT void *realloc(void *old, size_t size)
{
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(old, size);
}

BENCH_EXPORT void free(void *block)
{
    __libc_free(block);
}

// The process supplies Xlib and the client; the executable's definitions win the lookup.
static const KeyCode kHotkeyCode = 74;
static const KeyCode kOtherCode = 38;

BENCH_EXPORT KeyCode XKeysymToKeycode(Display *, KeySym keysym)
{
    return keysym == XK_F8 ? kHotkeyCode : 0;
}

BENCH_EXPORT Status XGetGeometry(Display *, Drawable, Window *root, int *x, int *y, unsigned int *width,
                                 unsigned int *height, unsigned int *border, unsigned int *depth)
{
    *root = 1;
    *x = *y = 0;
    *width = 1280;
    *height = 720;
    *border = 0;
    *depth = 24;
    return 1;
}

static char clientHandle;

BENCH_EXPORT MivoClient *mivoClientCreate(const CaptureParams *)
{
    return reinterpret_cast<MivoClient *>(&clientHandle);
}

BENCH_EXPORT int mivoClientCapture(MivoClient *, uint32_t, uint32_t)
{
    return 0;
}

BENCH_EXPORT void mivoClientDestroy(MivoClient *) {}

static const Drawable kDrawable = 0x400007;
static Time pressTime = 1;

static void pressHotkey()
{
    XEvent event{};
    event.xkey.type = KeyPress;
    event.xkey.keycode = kHotkeyCode;
    event.xkey.time = ++pressTime;
    vornaCoreEvent(nullptr, &event);
}

static void startCounting(benchmark::State &)
{
    allocations = 0;
    counting = true;
}

static void stopCounting(benchmark::State &state)
{
    counting = false;
    state.counters["allocs"] = static_cast<double>(allocations.load());
    if (allocations.load() != 0)
        state.SkipWithError("the path allocated");
}

static void CaptureIdle(benchmark::State &state)
{
    startCounting(state);
    for (auto _ : state)
        vornaCoreCapture(nullptr, kDrawable);
    stopCounting(state);
}
BENCHMARK(CaptureIdle);

static void CaptureCapturing(benchmark::State &state)
{
    pressHotkey();
    vornaCoreCapture(nullptr, kDrawable);
    startCounting(state);
    for (auto _ : state)
        vornaCoreCapture(nullptr, kDrawable);
    stopCounting(state);
    pressHotkey();
}
BENCHMARK(CaptureCapturing);

static void EventOtherKey(benchmark::State &state)
{
    XEvent event{};
    event.xkey.type = KeyPress;
    event.xkey.keycode = kOtherCode;
    startCounting(state);
    for (auto _ : state) {
        event.xkey.time++;
        vornaCoreEvent(nullptr, &event);
    }
    stopCounting(state);
}
BENCHMARK(EventOtherKey);

BENCHMARK_MAIN();
