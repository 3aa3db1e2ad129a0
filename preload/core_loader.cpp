// Loading the core.
//
// The core sits next to this library in the build tree and the installed tree alike; dladdr on
// one of our own functions gives our path as the loader opened it (absolute, as the launcher puts
// it into LD_PRELOAD).
//
// It is opened with RTLD_LOCAL so that nothing of it, the capture client, FFmpeg or the C++
// runtime enters the program's global scope, and with RTLD_DEEPBIND so that those libraries bind
// to their own dependencies before the program's: a game carrying its own copy of libavcodec or
// libstdc++ must not receive our calls. RTLD_NOW, so a missing symbol shows here, once, instead
// of killing the program at its first call.
//
// The core takes XKeysymToKeycode, XGetGeometry and friends from the process instead of naming
// libX11 as a dependency. A program that opened libX11 only privately (libGL pulls it in, and SDL2
// opens libGL with RTLD_LOCAL) hides it from the global scope, and the core would not load. Then
// the program's own copy is made global with RTLD_NOLOAD | RTLD_GLOBAL: nothing new is loaded,
// only the system's Xlib the program already uses becomes visible.
#include "core_loader.h"

#include "preload_log.h"
#include "real_dlsym.h"

#include <dlfcn.h>
#include <string.h>

namespace {

CoreEntries entries;
std::atomic<bool> reported{false};

const char coreName[] = "libvorna.so";

bool corePath(char *path, size_t size) {
    Dl_info info;
    if (!dladdr(reinterpret_cast<void *>(&loadCore), &info) || !info.dli_fname) return false;
    const char *slash = strrchr(info.dli_fname, '/');
    size_t directory = slash ? static_cast<size_t>(slash - info.dli_fname) + 1 : 0;
    if (directory + sizeof coreName > size) return false;
    memcpy(path, info.dli_fname, directory);
    memcpy(path + directory, coreName, sizeof coreName);
    return true;
}

void makeXlibVisible(DlsymFunction lookup) {
    if (lookup(RTLD_DEFAULT, "XGetGeometry")) return;
    if (void *xlib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_NOLOAD | RTLD_GLOBAL)) dlclose(xlib);
}

}  // namespace

const CoreEntries *loadCore() {
    DlsymFunction lookup = realDlsym();
    if (!lookup) {
        reportOnce(reported, "%s(): couldn't find the C library's dlsym; Vorna is off for this program\n",
                   "glXSwapBuffers");
        return nullptr;
    }
    static char path[4096];
    if (!corePath(path, sizeof path)) {
        reportOnce(reported, "%s(): couldn't find where libvorna-preload.so lies; Vorna is off for this program\n",
                   "glXSwapBuffers");
        return nullptr;
    }
    makeXlibVisible(lookup);
    void *core = dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
    if (!core) {
        const char *why = dlerror();
        reportOnce(reported, "%s(): couldn't load %s (%s); Vorna is off for this program\n", "glXSwapBuffers",
                   path, why ? why : "no reason given");
        return nullptr;
    }
    entries.event = reinterpret_cast<void (*)(Display *, XEvent *)>(lookup(core, "vornaCoreEvent"));
    entries.capture = reinterpret_cast<void (*)(Display *, Drawable)>(lookup(core, "vornaCoreCapture"));
    entries.settings = static_cast<Settings *>(lookup(core, "vornaGlobal"));
    if (!entries.event || !entries.capture || !entries.settings) {
        reportOnce(reported, "%s(): %s lacks vornaCoreEvent, vornaCoreCapture or vornaGlobal; reinstall Vorna\n",
                   "glXSwapBuffers", path);
        return nullptr;
    }
    return &entries;
}
