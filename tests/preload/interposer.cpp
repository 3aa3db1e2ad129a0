// Another layer preloaded after ours, in front of libGL: it finds the real glXSwapBuffers
// with dlsym(RTLD_NEXT), as such layers do, and marks each frame in the trace.
#include <GL/glx.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" __attribute__((visibility("default"))) void glXSwapBuffers(Display *display, GLXDrawable drawable) {
    auto next = reinterpret_cast<void (*)(Display *, GLXDrawable)>(dlsym(RTLD_NEXT, "glXSwapBuffers"));
    if (const char *path = getenv("VORNA_TEST_TRACE")) {
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
        const char *line = next ? "mark interposer swap\n" : "mark interposer found nothing\n";
        if (fd >= 0 && write(fd, line, strlen(line)) < 0) {
        }
        if (fd >= 0) close(fd);
    }
    if (next) next(display, drawable);
}
