// hook_probe MODE [--swap-from direct|arb|plain|default|self|default_arb | --glx-from arb]: a GL program that drives
// the preload layer through known steps and writes "mark" lines into the same trace as the stand-in core.
// Built twice: linked against libGL and libX11, and (HOOK_PROBE_DLOPEN) opening both with
// RTLD_LOCAL and taking every function from dlsym, as SDL2 does.
//
// Events are pushed onto the program's own queue with XPutBackEvent and taken again with the
// call under test; the windows select no input, so nothing else arrives.
#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>
#include <thread>

// Same name as the stand-in core's dependency: a core loaded without RTLD_DEEPBIND would bind
// to this one.
extern "C" __attribute__((visibility("default"))) const char *vornaTestClash() { return "program"; }

namespace {

using Predicate = Bool (*)(Display *, XEvent *, XPointer);

struct Api {
    Display *(*openDisplay)(const char *);
    Window (*createWindow)(Display *, Window, int, int, unsigned, unsigned, unsigned, int, unsigned, Visual *,
                           unsigned long, XSetWindowAttributes *);
    Colormap (*createColormap)(Display *, Window, Visual *, int);
    int (*mapWindow)(Display *, Window);
    int (*sync)(Display *, Bool);
    int (*putBackEvent)(Display *, XEvent *);
    KeyCode (*keysymToKeycode)(Display *, KeySym);
    int (*closeDisplay)(Display *);
    int (*nextEvent)(Display *, XEvent *);
    int (*peekEvent)(Display *, XEvent *);
    int (*windowEvent)(Display *, Window, long, XEvent *);
    Bool (*checkWindowEvent)(Display *, Window, long, XEvent *);
    int (*maskEvent)(Display *, long, XEvent *);
    Bool (*checkMaskEvent)(Display *, long, XEvent *);
    Bool (*checkTypedEvent)(Display *, int, XEvent *);
    Bool (*checkTypedWindowEvent)(Display *, Window, int, XEvent *);
    int (*ifEvent)(Display *, XEvent *, Predicate, XPointer);
    Bool (*checkIfEvent)(Display *, XEvent *, Predicate, XPointer);
    int (*peekIfEvent)(Display *, XEvent *, Predicate, XPointer);
    XVisualInfo *(*chooseVisual)(Display *, int, int *);
    GLXContext (*createContext)(Display *, XVisualInfo *, GLXContext, Bool);
    Bool (*makeCurrent)(Display *, GLXDrawable, GLXContext);
    void (*swapBuffers)(Display *, GLXDrawable);
    __GLXextFuncPtr (*getProcAddressARB)(const GLubyte *);
    __GLXextFuncPtr (*getProcAddress)(const GLubyte *);
    void (*clearColor)(GLfloat, GLfloat, GLfloat, GLfloat);
    void (*clear)(GLbitfield);
    GLXFBConfig *(*chooseFBConfig)(Display *, int, const int *, int *);
    XVisualInfo *(*getVisualFromFBConfig)(Display *, GLXFBConfig);
    GLXContext (*createNewContext)(Display *, GLXFBConfig, int, GLXContext, Bool);
    GLXWindow (*createGlxWindow)(Display *, GLXFBConfig, Window, const int *);
    void (*destroyGlxWindow)(Display *, GLXWindow);
    GLXPbuffer (*createPbuffer)(Display *, GLXFBConfig, const int *);
    void (*destroyPbuffer)(Display *, GLXPbuffer);
    GLXPixmap (*createPixmap)(Display *, GLXFBConfig, Pixmap, const int *);
    void (*destroyPixmap)(Display *, GLXPixmap);
    GLXPixmap (*createGlxPixmap)(Display *, XVisualInfo *, Pixmap);
    void (*destroyGlxPixmap)(Display *, GLXPixmap);
    Pixmap (*createXPixmap)(Display *, Drawable, unsigned, unsigned, unsigned);
    int (*freeXPixmap)(Display *, Pixmap);
    int (*destroyWindow)(Display *, Window);
    Status (*initThreads)();
    void (*lockDisplay)(Display *);
    void (*unlockDisplay)(Display *);
};

Api api;

void trace(const char *format, ...) {
    const char *path = getenv("VORNA_TEST_TRACE");
    if (!path) return;
    char line[512] = "mark ";
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line + 5, sizeof line - 6, format, arguments);
    va_end(arguments);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0 || length < 0) return;
    strcat(line, "\n");
    if (write(fd, line, strlen(line)) < 0) {
    }
    close(fd);
}

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "hook_probe: %s\n", what);
    exit(1);
}

template <typename T>
void take(T &slot, void *library, const char *name) {
    void *function = dlsym(library, name);
    if (!function) fail(name);
    slot = reinterpret_cast<T>(function);
}

void loadApi() {
#ifdef HOOK_PROBE_DLOPEN
    void *x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    void *gl = dlopen("libGL.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!x11 || !gl) fail(dlerror());
    take(api.openDisplay, x11, "XOpenDisplay");
    take(api.createWindow, x11, "XCreateWindow");
    take(api.createColormap, x11, "XCreateColormap");
    take(api.mapWindow, x11, "XMapWindow");
    take(api.sync, x11, "XSync");
    take(api.putBackEvent, x11, "XPutBackEvent");
    take(api.keysymToKeycode, x11, "XKeysymToKeycode");
    take(api.closeDisplay, x11, "XCloseDisplay");
    take(api.nextEvent, x11, "XNextEvent");
    take(api.peekEvent, x11, "XPeekEvent");
    take(api.windowEvent, x11, "XWindowEvent");
    take(api.checkWindowEvent, x11, "XCheckWindowEvent");
    take(api.maskEvent, x11, "XMaskEvent");
    take(api.checkMaskEvent, x11, "XCheckMaskEvent");
    take(api.checkTypedEvent, x11, "XCheckTypedEvent");
    take(api.checkTypedWindowEvent, x11, "XCheckTypedWindowEvent");
    take(api.ifEvent, x11, "XIfEvent");
    take(api.checkIfEvent, x11, "XCheckIfEvent");
    take(api.peekIfEvent, x11, "XPeekIfEvent");
    take(api.chooseVisual, gl, "glXChooseVisual");
    take(api.createContext, gl, "glXCreateContext");
    take(api.makeCurrent, gl, "glXMakeCurrent");
    take(api.swapBuffers, gl, "glXSwapBuffers");
    take(api.getProcAddressARB, gl, "glXGetProcAddressARB");
    take(api.getProcAddress, gl, "glXGetProcAddress");
    take(api.clearColor, gl, "glClearColor");
    take(api.clear, gl, "glClear");
    take(api.chooseFBConfig, gl, "glXChooseFBConfig");
    take(api.getVisualFromFBConfig, gl, "glXGetVisualFromFBConfig");
    take(api.createNewContext, gl, "glXCreateNewContext");
    take(api.createGlxWindow, gl, "glXCreateWindow");
    take(api.destroyGlxWindow, gl, "glXDestroyWindow");
    take(api.createPbuffer, gl, "glXCreatePbuffer");
    take(api.destroyPbuffer, gl, "glXDestroyPbuffer");
    take(api.createPixmap, gl, "glXCreatePixmap");
    take(api.destroyPixmap, gl, "glXDestroyPixmap");
    take(api.createGlxPixmap, gl, "glXCreateGLXPixmap");
    take(api.destroyGlxPixmap, gl, "glXDestroyGLXPixmap");
    take(api.createXPixmap, x11, "XCreatePixmap");
    take(api.freeXPixmap, x11, "XFreePixmap");
    take(api.destroyWindow, x11, "XDestroyWindow");
    take(api.initThreads, x11, "XInitThreads");
    take(api.lockDisplay, x11, "XLockDisplay");
    take(api.unlockDisplay, x11, "XUnlockDisplay");
#else
    api = Api{XOpenDisplay,      XCreateWindow,         XCreateColormap, XMapWindow,      XSync,
              XPutBackEvent,     XKeysymToKeycode,      XCloseDisplay,   XNextEvent,      XPeekEvent,
              XWindowEvent,      XCheckWindowEvent,     XMaskEvent,      XCheckMaskEvent, XCheckTypedEvent,
              XCheckTypedWindowEvent, XIfEvent,         XCheckIfEvent,   XPeekIfEvent,    glXChooseVisual,
              glXCreateContext,  glXMakeCurrent,        glXSwapBuffers,  glXGetProcAddressARB,
              glXGetProcAddress, glClearColor,          glClear,         glXChooseFBConfig,
              glXGetVisualFromFBConfig, glXCreateNewContext, glXCreateWindow, glXDestroyWindow,
              glXCreatePbuffer,  glXDestroyPbuffer,     glXCreatePixmap, glXDestroyPixmap, glXCreateGLXPixmap,
              glXDestroyGLXPixmap, XCreatePixmap,       XFreePixmap,     XDestroyWindow,
              XInitThreads,      XLockDisplay,          XUnlockDisplay};
#endif
}

Display *display;
XVisualInfo *visual;
GLXContext context;
GLXFBConfig config;

// Opens the display and makes the context: through a GLX 1.3 framebuffer config that can also
// draw to pbuffers and pixmaps when asked, else through a visual.
void connect(bool withConfig, bool offscreenToo) {
    display = api.openDisplay(nullptr);
    if (!display) fail("cannot open display");
    if (withConfig) {
        const int drawables = GLX_WINDOW_BIT | (offscreenToo ? GLX_PBUFFER_BIT | GLX_PIXMAP_BIT : 0);
        const int attributes[] = {GLX_DRAWABLE_TYPE, drawables, GLX_RENDER_TYPE, GLX_RGBA_BIT, GLX_DOUBLEBUFFER, True,
                                  GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, None};
        int count = 0;
        GLXFBConfig *configs = api.chooseFBConfig(display, DefaultScreen(display), attributes, &count);
        if (!configs || count == 0) fail("no double-buffered RGB framebuffer config");
        config = configs[0];
        visual = api.getVisualFromFBConfig(display, config);
        if (!visual) fail("no visual for the framebuffer config");
        context = api.createNewContext(display, config, GLX_RGBA_TYPE, nullptr, True);
        if (!context) fail("glXCreateNewContext");
    } else {
        int attributes[] = {GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, None};
        visual = api.chooseVisual(display, DefaultScreen(display), attributes);
        if (!visual) fail("no double-buffered RGB visual");
        context = api.createContext(display, visual, nullptr, True);
        if (!context) fail("glXCreateContext");
    }
}

Window makeWindow(unsigned width, unsigned height) {
    Window root = RootWindow(display, visual->screen);
    XSetWindowAttributes attributes = {};
    attributes.colormap = api.createColormap(display, root, visual->visual, AllocNone);
    Window window = api.createWindow(display, root, 0, 0, width, height, 0, visual->depth, InputOutput,
                                     visual->visual, CWColormap, &attributes);
    api.mapWindow(display, window);
    api.sync(display, False);
    return window;
}

void frame(Window window) {
    if (!api.makeCurrent(display, window, context)) fail("glXMakeCurrent");
    api.clearColor(0.2f, 0.4f, 0.6f, 1.0f);
    api.clear(GL_COLOR_BUFFER_BIT);
    api.swapBuffers(display, window);
}

void putKey(Window window, int type, KeyCode keycode, Time time) {
    XEvent event = {};
    event.xkey.type = type;
    event.xkey.display = display;
    event.xkey.window = window;
    event.xkey.keycode = keycode;
    event.xkey.time = time;
    event.xkey.same_screen = True;
    api.putBackEvent(display, &event);
}

// The hotkey pressed on `window` and taken by the program.
void takeHotkeyPress(Window window) {
    XEvent event;
    putKey(window, KeyPress, api.keysymToKeycode(display, XK_F8), 100);
    api.nextEvent(display, &event);
}

Bool anyEvent(Display *, XEvent *, XPointer) { return True; }

void events(Window window) {
    const KeyCode key = api.keysymToKeycode(display, XK_a);
    XEvent event;
    putKey(window, KeyPress, key, 1);
    api.nextEvent(display, &event);
    trace("before first swap");
    frame(window);
    trace("after first swap");
    trace("global vornaCoreEvent %s", dlsym(RTLD_DEFAULT, "vornaCoreEvent") ? "present" : "absent");

    putKey(window, KeyPress, key, 101);
    api.nextEvent(display, &event);
    putKey(window, KeyPress, key, 102);
    api.peekEvent(display, &event);
    api.windowEvent(display, window, KeyPressMask, &event);
    putKey(window, KeyPress, key, 103);
    api.checkWindowEvent(display, window, KeyPressMask, &event);
    putKey(window, KeyPress, key, 104);
    api.maskEvent(display, KeyPressMask, &event);
    putKey(window, KeyPress, key, 105);
    api.checkMaskEvent(display, KeyPressMask, &event);
    putKey(window, KeyPress, key, 106);
    api.checkTypedEvent(display, KeyPress, &event);
    putKey(window, KeyPress, key, 107);
    api.checkTypedWindowEvent(display, window, KeyPress, &event);
    putKey(window, KeyPress, key, 108);
    api.ifEvent(display, &event, anyEvent, nullptr);
    putKey(window, KeyPress, key, 109);
    api.peekIfEvent(display, &event, anyEvent, nullptr);
    api.checkIfEvent(display, &event, anyEvent, nullptr);
    putKey(window, KeyRelease, key, 110);
    api.nextEvent(display, &event);
    trace("taken");

    int found = api.checkWindowEvent(display, window, KeyPressMask, &event) +
                api.checkMaskEvent(display, KeyPressMask, &event) + api.checkTypedEvent(display, KeyPress, &event) +
                api.checkTypedWindowEvent(display, window, KeyPress, &event) +
                api.checkIfEvent(display, &event, anyEvent, nullptr);
    trace("empty queue found %d", found);
}

void windows(Window a, Window b) {
    const KeyCode hotkey = api.keysymToKeycode(display, XK_F8);
    const KeyCode other = api.keysymToKeycode(display, XK_a);
    XEvent event;
    frame(a);
    trace("b");
    frame(b);
    putKey(b, KeyPress, hotkey, 100);
    api.nextEvent(display, &event);
    trace("b after press");
    frame(b);
    trace("a");
    frame(a);
    putKey(a, KeyPress, hotkey, 200);
    api.peekEvent(display, &event);
    trace("a after peeked press");
    frame(a);
    api.nextEvent(display, &event);
    trace("b after the same press taken");
    frame(b);
    putKey(a, KeyPress, other, 300);
    api.nextEvent(display, &event);
    trace("b after another key");
    frame(b);
    putKey(a, KeyRelease, hotkey, 400);
    api.nextEvent(display, &event);
    trace("b after a hotkey release");
    frame(b);
}

// Window a is 200x100 and b 120x80; both are drawn through GLXWindows.
void glxWindows(Window a, Window b) {
    const KeyCode hotkey = api.keysymToKeycode(display, XK_F8);
    XEvent event;
    GLXWindow glxA = api.createGlxWindow(display, config, a, nullptr);
    GLXWindow glxB = api.createGlxWindow(display, config, b, nullptr);
    frame(glxA);
    frame(glxA);
    trace("b");
    frame(glxB);
    putKey(b, KeyPress, hotkey, 100);
    api.nextEvent(display, &event);
    trace("b after press");
    frame(glxB);
    api.makeCurrent(display, None, nullptr);
    api.destroyGlxWindow(display, glxA);
    api.destroyGlxWindow(display, glxB);
}

// A pbuffer and two pixmaps, one made the GLX 1.3 way and one the 1.0 way, are swapped after the
// press, then window a (200x100).
void offscreen(Window a) {
    takeHotkeyPress(a);
    const int size[] = {GLX_PBUFFER_WIDTH, 32, GLX_PBUFFER_HEIGHT, 16, None};
    GLXPbuffer pbuffer = api.createPbuffer(display, config, size);
    Window root = RootWindow(display, visual->screen);
    Pixmap pixmaps[2] = {api.createXPixmap(display, root, 24, 24, unsigned(visual->depth)),
                         api.createXPixmap(display, root, 20, 20, unsigned(visual->depth))};
    GLXPixmap newStyle = api.createPixmap(display, config, pixmaps[0], nullptr);
    GLXPixmap oldStyle = api.createGlxPixmap(display, visual, pixmaps[1]);
    if (!pbuffer || !newStyle || !oldStyle) fail("no pbuffer or GLX pixmap");
    frame(pbuffer);
    frame(newStyle);
    frame(oldStyle);
    trace("a");
    frame(a);
    api.makeCurrent(display, None, nullptr);
    api.destroyPbuffer(display, pbuffer);
    api.destroyPixmap(display, newStyle);
    api.destroyGlxPixmap(display, oldStyle);
    for (Pixmap pixmap : pixmaps) api.freeXPixmap(display, pixmap);
    api.sync(display, False);
    trace("destroyed");
}

// GLX pixmaps left to XCloseDisplay, 200 on one connection and 100 on the next: more than the
// layer keeps at once, unless it lets go of a connection's drawables when it closes. The second
// connection makes 500 plain pixmaps first, so that its GLX pixmaps cannot get the ids of the
// first one's. Then window b (120x80) is swapped after the press.
void leaveGlxPixmaps(int count) {
    Window root = RootWindow(display, visual->screen);
    for (int i = 0; i < count; ++i) {
        Pixmap pixmap = api.createXPixmap(display, root, 1, 1, unsigned(visual->depth));
        if (!api.createPixmap(display, config, pixmap, nullptr)) fail("glXCreatePixmap");
    }
    api.sync(display, False);
}

void reconnect() {
    leaveGlxPixmaps(200);
    api.closeDisplay(display);
    connect(true, true);
    Window root = RootWindow(display, visual->screen);
    for (int i = 0; i < 500; ++i) api.createXPixmap(display, root, 1, 1, unsigned(visual->depth));
    leaveGlxPixmaps(100);
    Window b = makeWindow(120, 80);
    takeHotkeyPress(b);
    trace("b");
    frame(b);
    api.makeCurrent(display, None, nullptr);
}

// The recorded window a (200x100) is destroyed and made anew as c (120x80), as programs do to
// change the video mode; then d (150x60) comes, and c again.
void recreate(Window a) {
    takeHotkeyPress(a);
    frame(a);
    api.makeCurrent(display, None, nullptr);
    api.destroyWindow(display, a);
    Window c = makeWindow(120, 80);
    trace("c");
    frame(c);
    Window d = makeWindow(150, 60);
    trace("d");
    frame(d);
    trace("c again");
    frame(c);
    api.makeCurrent(display, None, nullptr);
}

// The server tells the program that the recorded window a is gone (with its parent, say); then
// window c (120x80) is swapped.
void destroyNotify(Window a) {
    takeHotkeyPress(a);
    frame(a);
    XEvent gone = {};
    gone.xdestroywindow.type = DestroyNotify;
    gone.xdestroywindow.display = display;
    gone.xdestroywindow.event = a;
    gone.xdestroywindow.window = a;
    api.putBackEvent(display, &gone);
    XEvent event;
    api.nextEvent(display, &event);
    Window c = makeWindow(120, 80);
    trace("c");
    frame(c);
    api.makeCurrent(display, None, nullptr);
}

// More GLXWindows than the layer keeps. Window i is (60 + i)x40.
void glxWindowsBeyondTheTable() {
    const KeyCode hotkey = api.keysymToKeycode(display, XK_F8);
    XEvent event;
    const int count = 258;
    Window windows[count];
    GLXWindow glxWindows[count];
    for (int i = 0; i < count; ++i) {
        windows[i] = makeWindow(60 + i, 40);
        glxWindows[i] = api.createGlxWindow(display, config, windows[i], nullptr);
    }
    trace("made %d", count);
    frame(glxWindows[count - 1]);
    trace("last swapped");
    frame(glxWindows[0]);
    api.makeCurrent(display, None, nullptr);
    for (GLXWindow glxWindow : glxWindows) api.destroyGlxWindow(display, glxWindow);
    trace("all destroyed");
    putKey(windows[0], KeyPress, hotkey, 100);
    api.nextEvent(display, &event);
    frame(windows[count - 1]);
    putKey(windows[0], KeyPress, hotkey, 200);
    api.nextEvent(display, &event);
    GLXWindow again = api.createGlxWindow(display, config, windows[count - 2], nullptr);
    frame(again);
    api.makeCurrent(display, None, nullptr);
    api.destroyGlxWindow(display, again);
}

// How many frames the stand-in core has traced so far.
int tracedCaptures() {
    const char *path = getenv("VORNA_TEST_TRACE");
    FILE *file = path ? fopen(path, "r") : nullptr;
    if (!file) return 0;
    int captures = 0;
    char line[512];
    while (fgets(line, sizeof line, file))
        if (strncmp(line, "capture ", 8) == 0) ++captures;
    fclose(file);
    return captures;
}

// Another thread is inside the core when the program forks. The child's only thread must find
// the layer's lock free: a copy of a taken lock would hang it at its first event.
void forkDuringCapture(Window window) {
    const KeyCode key = api.keysymToKeycode(display, XK_a);
    frame(window);
    api.makeCurrent(display, None, nullptr);
    setenv("VORNA_TEST_SLOW_CAPTURE", "1", 1);
    std::thread drawer([window] {
        frame(window);
        api.makeCurrent(display, None, nullptr);
    });
    // Fork only once the drawer sits in the stand-in core's pause, past every Xlib and GL call:
    // a fork in the middle of those would copy their own locks and hang the child for reasons
    // that are not ours.
    for (int i = 0; i < 200 && tracedCaptures() < 2; ++i) usleep(25 * 1000);
    pid_t child = fork();
    if (child == 0) {
        XEvent event;
        putKey(window, KeyPress, key, 7);
        api.nextEvent(display, &event);
        _exit(0);
    }
    drawer.join();
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 100 && ended == 0; ++i) {
        ended = waitpid(child, &status, WNOHANG);
        if (ended == 0) usleep(50 * 1000);
    }
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        trace("child hung");
    } else {
        trace("child %s", WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "took its event" : "failed");
    }
}

// The program takes its events under XLockDisplay, and a key press comes while the drawing
// thread is inside the core, waiting for that display in XGetGeometry. The press must not wait
// for the core (both threads would hang); the core gets it once the drawing thread is through.
void pressWhileTheCoreWaitsForTheDisplay(Window window) {
    const KeyCode key = api.keysymToKeycode(display, XK_a);
    frame(window);
    api.makeCurrent(display, None, nullptr);
    // A hang is the fault under test: end it, so that the test fails instead of waiting.
    alarm(20);
    std::atomic<int> step{0};
    std::thread drawer([window, &step] {
        if (!api.makeCurrent(display, window, context)) fail("glXMakeCurrent");
        api.clear(GL_COLOR_BUFFER_BIT);
        step = 1;
        while (step != 2) usleep(1000);
        api.swapBuffers(display, window);
        api.makeCurrent(display, None, nullptr);
    });
    while (step != 1) usleep(1000);
    api.lockDisplay(display);
    putKey(window, KeyPress, key, 9);
    step = 2;
    // Long enough for the drawer to be in the core, waiting for the display.
    usleep(300 * 1000);
    XEvent event;
    if (!api.checkTypedEvent(display, KeyPress, &event)) fail("the press was not there");
    trace("press taken");
    api.unlockDisplay(display);
    drawer.join();
    alarm(0);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        fail("usage: hook_probe events|windows|frames|fork|locked-events|nodraw|lookups|glxwindows|glxwindows-full|offscreen|reconnect|recreate|destroy-notify "
             "[--swap-from direct|arb|plain|default|self|default_arb | --glx-from arb]");
    const char *mode = argv[1];
    // Lookups in the global scope before the program has used any of the names; the dlopen
    // probe has no libGL or libX11 loaded yet.
    if (strcmp(mode, "lookups") == 0) {
        for (const char *name : {"glXSwapBuffers", "glXGetProcAddressARB", "XNextEvent"})
            trace("%s %s", name, dlsym(RTLD_DEFAULT, name) ? "present" : "absent");
        trace("done");
        return 0;
    }
    // Taken before loadApi, so the global scope is asked first.
    using Swap = void (*)(Display *, GLXDrawable);
    Swap looked = nullptr;
    if (argc == 4 && strcmp(argv[2], "--swap-from") == 0) {
        if (strcmp(argv[3], "default") == 0) {
            looked = reinterpret_cast<Swap>(dlsym(RTLD_DEFAULT, "glXSwapBuffers"));
        } else if (strcmp(argv[3], "self") == 0) {
            looked = reinterpret_cast<Swap>(dlsym(dlopen(nullptr, RTLD_LAZY), "glXSwapBuffers"));
        } else if (strcmp(argv[3], "default_arb") == 0) {
            auto arb = reinterpret_cast<__GLXextFuncPtr (*)(const GLubyte *)>(dlsym(RTLD_DEFAULT, "glXGetProcAddressARB"));
            if (arb) looked = reinterpret_cast<Swap>(arb(reinterpret_cast<const GLubyte *>("glXSwapBuffers")));
        }
    }
    loadApi();
    if (argc == 4 && strcmp(argv[2], "--swap-from") == 0) {
        const GLubyte *name = reinterpret_cast<const GLubyte *>("glXSwapBuffers");
        if (strcmp(argv[3], "arb") == 0)
            api.swapBuffers = reinterpret_cast<Swap>(api.getProcAddressARB(name));
        else if (strcmp(argv[3], "plain") == 0)
            api.swapBuffers = reinterpret_cast<Swap>(api.getProcAddress(name));
        else if (strcmp(argv[3], "direct") != 0)
            api.swapBuffers = looked;
        if (!api.swapBuffers) fail("no glXSwapBuffers from the lookup");
    }
    if (argc == 4 && strcmp(argv[2], "--glx-from") == 0 && strcmp(argv[3], "arb") == 0) {
        api.createGlxWindow = reinterpret_cast<GLXWindow (*)(Display *, GLXFBConfig, Window, const int *)>(
            api.getProcAddressARB(reinterpret_cast<const GLubyte *>("glXCreateWindow")));
        api.destroyGlxWindow = reinterpret_cast<void (*)(Display *, GLXWindow)>(
            api.getProcAddressARB(reinterpret_cast<const GLubyte *>("glXDestroyWindow")));
        if (!api.createGlxWindow || !api.destroyGlxWindow) fail("no glXCreateWindow or glXDestroyWindow from the lookup");
        auto lookUp = [](const char *name) { return api.getProcAddressARB(reinterpret_cast<const GLubyte *>(name)); };
        api.createPbuffer = reinterpret_cast<decltype(api.createPbuffer)>(lookUp("glXCreatePbuffer"));
        api.destroyPbuffer = reinterpret_cast<decltype(api.destroyPbuffer)>(lookUp("glXDestroyPbuffer"));
        api.createPixmap = reinterpret_cast<decltype(api.createPixmap)>(lookUp("glXCreatePixmap"));
        api.destroyPixmap = reinterpret_cast<decltype(api.destroyPixmap)>(lookUp("glXDestroyPixmap"));
        api.createGlxPixmap = reinterpret_cast<decltype(api.createGlxPixmap)>(lookUp("glXCreateGLXPixmap"));
        api.destroyGlxPixmap = reinterpret_cast<decltype(api.destroyGlxPixmap)>(lookUp("glXDestroyGLXPixmap"));
        if (!api.createPbuffer || !api.destroyPbuffer || !api.createPixmap || !api.destroyPixmap ||
            !api.createGlxPixmap || !api.destroyGlxPixmap)
            fail("no pbuffer or GLX pixmap call from the lookup");
    }

    // Xlib's locks exist only when asked for before the first display is opened.
    if (strcmp(mode, "locked-events") == 0 && !api.initThreads()) fail("XInitThreads");
    const bool offscreenMode = strcmp(mode, "offscreen") == 0 || strcmp(mode, "reconnect") == 0;
    connect(strncmp(mode, "glxwindows", 10) == 0 || offscreenMode, offscreenMode);
    trace("display %p", static_cast<void *>(display));

    Window a = makeWindow(200, 100);
    if (strcmp(mode, "events") == 0) {
        events(a);
    } else if (strcmp(mode, "windows") == 0) {
        windows(a, makeWindow(120, 80));
    } else if (strcmp(mode, "frames") == 0) {
        for (int i = 0; i < 3; ++i) frame(a);
    } else if (strcmp(mode, "glxwindows") == 0) {
        glxWindows(a, makeWindow(120, 80));
    } else if (strcmp(mode, "glxwindows-full") == 0) {
        glxWindowsBeyondTheTable();
    } else if (strcmp(mode, "offscreen") == 0) {
        offscreen(a);
    } else if (strcmp(mode, "reconnect") == 0) {
        reconnect();
    } else if (strcmp(mode, "recreate") == 0) {
        recreate(a);
    } else if (strcmp(mode, "destroy-notify") == 0) {
        destroyNotify(a);
    } else if (strcmp(mode, "fork") == 0) {
        forkDuringCapture(a);
    } else if (strcmp(mode, "locked-events") == 0) {
        pressWhileTheCoreWaitsForTheDisplay(a);
    } else if (strcmp(mode, "nodraw") == 0) {
        XEvent event;
        putKey(a, KeyPress, api.keysymToKeycode(display, XK_F8), 5);
        api.nextEvent(display, &event);
    } else {
        fail("unknown mode");
    }
    trace("done");
    api.closeDisplay(display);
    return 0;
}
