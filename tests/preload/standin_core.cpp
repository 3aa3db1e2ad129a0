// A stand-in for libvorna.so with the same exports and the same dependency shape (Xlib taken
// from the process, not linked), loaded by a copy of the preload layer in a test folder. It
// writes one trace line per call, so the tests see exactly what the layer hands the core.
#include <vorna.h>

#include <X11/keysym.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

extern "C" const char *vornaTestClash();

extern "C" {
VORNA_EXPORT Settings vornaGlobal;
}

namespace {

void trace(const char *format, ...) {
    const char *path = getenv("VORNA_TEST_TRACE");
    if (!path) return;
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) return;
    if (write(fd, line, static_cast<size_t>(length)) < 0) {
    }
    close(fd);
}

__attribute__((constructor)) void loaded() {
    const char *hotkey = getenv("VORNA_TEST_HOTKEY");
    vornaGlobal.hotkey = hotkey ? strtoul(hotkey, nullptr, 16) : XK_F8;
    trace("core loaded\n");
    // The client finds the core's logMessage like this; it only works when dlsym still sees
    // the real caller.
    trace("core own-scope lookup %s\n", dlsym(RTLD_DEFAULT, "vornaCoreCapture") ? "found" : "missing");
    trace("core clash %s\n", vornaTestClash());
}

}  // namespace

extern "C" {

VORNA_EXPORT void vornaCoreEvent(Display *display, XEvent *event) {
    trace("event %d %u %lu %p\n", event->type, event->xkey.keycode, static_cast<unsigned long>(event->xkey.time),
          static_cast<void *>(display));
}

VORNA_EXPORT void vornaCoreCapture(Display *display, Drawable drawable) {
    Window root;
    int x, y;
    unsigned width = 0, height = 0, border, depth;
    XGetGeometry(display, drawable, &root, &x, &y, &width, &height, &border, &depth);
    trace("capture %ux%u\n", width, height);
    // Keeps the caller inside the core for a while, for a fork to land in the middle.
    if (getenv("VORNA_TEST_SLOW_CAPTURE")) usleep(500 * 1000);
}

VORNA_EXPORT void updateConfiguration() {}

VORNA_EXPORT void logMessage(uint64_t, const char *, ...) {}
}
