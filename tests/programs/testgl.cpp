// The body shared by the GL test programs: one X window, a picture whose every part has its own
// flat colour (so a recording that is upside down, mirrored, shifted or cut wrongly shows it), a
// capped frame loop, and the ways a real program takes its events.
#include "glapi.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

const char kUsageBody[] =
    " [--load STYLE] [--events next|checkwindow] [--size WxH] [--fps N]\n"
    "          [--seconds S] [--quit-key KEY] [--spawn-key KEY] [--child exec|exit]\n"
    "          [--recreate-key KEY]\n"
    "          [--no-draw] [--setlocale] [--second-window] [--glxwindow]\n"
    "Opens a window, draws the test picture at most --fps times a second (default 60, 0: no\n"
    "cap) and runs for --seconds (default 60), until it gets --quit-key (default Escape), or\n"
    "until SIGINT or SIGTERM. --spawn-key starts a child on that key: with --child exec\n"
    "(the default) it runs `sh -c 'echo child; true'`, with --child exit it prints 'child'\n"
    "and calls exit().\n"
    "--recreate-key destroys the window on that key and opens a new one in its place, as\n"
    "programs do to change the video mode, and prints 'NAME: new window 0x...'.\n"
    "--no-draw opens the window but never creates a GL context or swaps. --setlocale takes\n"
    "the locale from the environment (LC_ALL, LANG), as most desktop programs do.\n"
    "--second-window draws the picture inverted into a second window after each frame.\n"
    "--glxwindow draws through a GLXWindow made for each window with glXCreateWindow (GLX 1.3,\n"
    "as GLFW does), with a context from glXCreateNewContext, and swaps that id.\n"
    "Prints 'NAME: ready window 0x... pid N size WxH' on stdout once the window is mapped and\n"
    "the first frame is swapped.\n";

struct Options {
  std::string load;
  bool checkWindowEvents = false;
  int width = 320;
  int height = 240;
  double fps = 60;
  double seconds = 60;
  KeySym quitKey = XK_Escape;
  KeySym spawnKey = NoSymbol;
  KeySym recreateKey = NoSymbol;
  bool childExits = false;
  bool noDraw = false;
  bool setLocale = false;
  bool secondWindow = false;
  bool glxWindow = false;
};

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) { stopRequested = 1; }

bool parseNumber(const char* text, double* out) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= 0)) return false;
  *out = v;
  return true;
}

bool parseKey(const char* text, KeySym* out) {
  *out = XStringToKeysym(text);
  return *out != NoSymbol;
}

bool parseOptions(const char* name, int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help") {
      std::printf("usage: %s%s", name, kUsageBody);
      std::exit(0);
    }
    if (a == "--no-draw") {
      o->noDraw = true;
      continue;
    }
    if (a == "--second-window") {
      o->secondWindow = true;
      continue;
    }
    if (a == "--glxwindow") {
      o->glxWindow = true;
      continue;
    }
    if (a == "--setlocale") {
      o->setLocale = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s: %s needs a value (see --help)\n", name, a.c_str());
      return false;
    }
    const char* v = argv[++i];
    bool ok = true;
    if (a == "--load") {
      o->load = v;
    } else if (a == "--events") {
      ok = std::strcmp(v, "next") == 0 || std::strcmp(v, "checkwindow") == 0;
      o->checkWindowEvents = std::strcmp(v, "checkwindow") == 0;
    } else if (a == "--size") {
      char tail = 0;
      ok = std::sscanf(v, "%dx%d%c", &o->width, &o->height, &tail) == 2 && o->width >= 160 &&
           o->height >= 160 && o->width <= 4096 && o->height <= 4096;
    } else if (a == "--fps") {
      ok = parseNumber(v, &o->fps);
    } else if (a == "--seconds") {
      ok = parseNumber(v, &o->seconds);
    } else if (a == "--quit-key") {
      ok = parseKey(v, &o->quitKey);
    } else if (a == "--spawn-key") {
      ok = parseKey(v, &o->spawnKey);
    } else if (a == "--recreate-key") {
      ok = parseKey(v, &o->recreateKey);
    } else if (a == "--child") {
      ok = std::strcmp(v, "exec") == 0 || std::strcmp(v, "exit") == 0;
      o->childExits = std::strcmp(v, "exit") == 0;
    } else {
      std::fprintf(stderr, "%s: unknown option %s (see --help)\n", name, a.c_str());
      return false;
    }
    if (!ok) {
      std::fprintf(stderr, "%s: bad value '%s' for %s (see --help)\n", name, v, a.c_str());
      return false;
    }
  }
  return true;
}

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void sleepUntil(double t) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(t);
  ts.tv_nsec = static_cast<long>((t - ts.tv_sec) * 1e9);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !stopRequested) {
  }
}

// Rectangles in window coordinates (origin top left, y down), as a viewer sees the window.
// The end-to-end suite models the same layout; keep the two in step.
struct Rect {
  int x, y, w, h;
  float r, g, b;
};

const int kBand = 48;    // a band of its own colour along each edge
const int kMarker = 24;  // a square in the top-left corner of the inner area

// The second window of --second-window shows the picture in inverted colours.
void drawPicture(const GlApi& gl, int w, int h, bool inverted) {
  int innerW = w - 2 * kBand, innerH = h - 2 * kBand;
  int midX = kBand + innerW / 2, midY = kBand + innerH / 2;
  const Rect parts[] = {
      {0, 0, w, kBand, 1, 1, 1},                              // top: white
      {0, h - kBand, w, kBand, 0, 0, 0},                      // bottom: black
      {0, kBand, kBand, innerH, 0.5f, 0.5f, 0.5f},            // left: grey
      {w - kBand, kBand, kBand, innerH, 0, 1, 1},             // right: cyan
      {kBand, kBand, midX - kBand, midY - kBand, 1, 0, 0},    // top left: red
      {midX, kBand, w - kBand - midX, midY - kBand, 0, 1, 0}, // top right: green
      {kBand, midY, midX - kBand, h - kBand - midY, 0, 0, 1}, // bottom left: blue
      {midX, midY, w - kBand - midX, h - kBand - midY, 1, 1, 0},  // bottom right: yellow
      {kBand, kBand, kMarker, kMarker, 1, 0, 1},              // marker: magenta
  };
  gl.viewport(0, 0, w, h);
  gl.enable(GL_SCISSOR_TEST);
  for (const Rect& p : parts) {
    // GL counts rows from the bottom of the window.
    gl.scissor(p.x, h - p.y - p.h, p.w, p.h);
    if (inverted)
      gl.clearColor(1 - p.r, 1 - p.g, 1 - p.b, 1);
    else
      gl.clearColor(p.r, p.g, p.b, 1);
    gl.clear(GL_COLOR_BUFFER_BIT);
  }
  gl.disable(GL_SCISSOR_TEST);
}

void runChild(const char* name, bool exits) {
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    if (exits) {
      // A helper that returns and ends through exit(), so every library's exit handlers run in
      // a copy of the process that holds none of its threads.
      std::puts("child");
      std::exit(0);
    }
    execl("/bin/sh", "sh", "-c", "echo child; true", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) {
    std::fprintf(stderr, "%s: fork failed: %s\n", name, std::strerror(errno));
    return;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::printf("%s: child exited with status %d\n", name,
              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  std::fflush(stdout);
}

}  // namespace

int runTestProgram(const char* name, int argc, char** argv, GlLoader loader) {
  Options o;
  if (!parseOptions(name, argc, argv, &o)) return 2;
  if (o.setLocale) std::setlocale(LC_ALL, "");

  struct sigaction sa = {};
  sa.sa_handler = onStopSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "%s: cannot open display\n", name);
    return 1;
  }
  int screen = DefaultScreen(dpy);
  Window root = RootWindow(dpy, screen);

  GlApi gl = {};
  GLXContext ctx = nullptr;
  XVisualInfo* vi = nullptr;
  GLXFBConfig config = nullptr;
  if (!o.noDraw) {
    std::string error;
    if (!loader(o.load.c_str(), &gl, &error)) {
      std::fprintf(stderr, "%s: %s\n", name, error.c_str());
      XCloseDisplay(dpy);
      return 2;
    }
    if (o.glxWindow) {
      const int attrs[] = {GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT, GLX_RENDER_TYPE, GLX_RGBA_BIT,
                           GLX_DOUBLEBUFFER, True, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8,
                           GLX_BLUE_SIZE, 8, None};
      int count = 0;
      GLXFBConfig* configs = gl.chooseFBConfig(dpy, screen, attrs, &count);
      if (configs && count > 0) {
        config = configs[0];
        vi = gl.getVisualFromFBConfig(dpy, config);
      }
      if (configs) XFree(configs);
    } else {
      int attrs[] = {GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8,
                     GLX_BLUE_SIZE, 8, None};
      vi = gl.chooseVisual(dpy, screen, attrs);
    }
    if (!vi) {
      std::fprintf(stderr, "%s: no double-buffered RGB visual\n", name);
      XCloseDisplay(dpy);
      return 1;
    }
  }

  XSetWindowAttributes swa = {};
  swa.event_mask = KeyPressMask | StructureNotifyMask | ExposureMask;
  swa.background_pixel = 0;
  unsigned long mask = CWEventMask | CWBackPixel;
  Visual* visual = CopyFromParent;
  int depth = CopyFromParent;
  if (vi) {
    swa.colormap = XCreateColormap(dpy, root, vi->visual, AllocNone);
    mask |= CWColormap;
    visual = vi->visual;
    depth = vi->depth;
  }
  long pid = getpid();
  auto openWindow = [&](int x) {
    Window w = XCreateWindow(dpy, root, x, 0, o.width, o.height, 0, depth, InputOutput, visual,
                             mask, &swa);
    XStoreName(dpy, w, name);
    // Lets vorna-xkey find the window by process id.
    XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
    XSizeHints hints = {};
    hints.flags = PMinSize | PMaxSize;
    hints.min_width = hints.max_width = o.width;
    hints.min_height = hints.max_height = o.height;
    XSetWMNormalHints(dpy, w, &hints);
    XMapWindow(dpy, w);
    XEvent mapped;
    do {
      XWindowEvent(dpy, w, StructureNotifyMask, &mapped);
    } while (mapped.type != MapNotify);
    return w;
  };
  Window win = openWindow(0);
  Window second = o.secondWindow ? openWindow(o.width + 16) : None;
  XEvent ev;

  // What GL draws to and swaps: the X windows themselves, or the GLXWindows made for them.
  GLXDrawable surface = win;
  GLXDrawable secondSurface = second;
  if (vi) {
    if (config) {
      ctx = gl.createNewContext(dpy, config, GLX_RGBA_TYPE, nullptr, True);
      surface = gl.createWindow(dpy, config, win, nullptr);
      if (second != None) secondSurface = gl.createWindow(dpy, config, second, nullptr);
    } else {
      ctx = gl.createContext(dpy, vi, nullptr, True);
    }
    XFree(vi);
    if (!ctx || !surface || (second != None && !secondSurface) ||
        !gl.makeCurrent(dpy, surface, ctx)) {
      std::fprintf(stderr, "%s: cannot create or bind a GL context\n", name);
      XCloseDisplay(dpy);
      return 1;
    }
  }

  const double start = now();
  const double period = o.fps > 0 ? 1.0 / o.fps : 0;
  double next = start;
  long frames = 0;
  bool announced = false;
  bool quit = false;
  bool recreate = false;
  while (!quit && !stopRequested && now() - start < o.seconds) {
    if (!o.noDraw) {
      // Events are read after both swaps, so the first swap after a key press is the first
      // window's.
      if (second != None) gl.makeCurrent(dpy, surface, ctx);
      drawPicture(gl, o.width, o.height, false);
      gl.swapBuffers(dpy, surface);
      if (second != None) {
        gl.makeCurrent(dpy, secondSurface, ctx);
        drawPicture(gl, o.width, o.height, true);
        gl.swapBuffers(dpy, secondSurface);
      }
      ++frames;
    }
    if (!announced) {
      announced = true;
      std::printf("%s: ready window 0x%lx pid %ld size %dx%d\n", name, win, pid, o.width,
                  o.height);
      std::fflush(stdout);
    }

    for (;;) {
      if (o.checkWindowEvents) {
        if (!XCheckWindowEvent(dpy, win, KeyPressMask | StructureNotifyMask | ExposureMask, &ev))
          break;
      } else {
        if (!XPending(dpy)) break;
        XNextEvent(dpy, &ev);
      }
      if (ev.type != KeyPress) continue;
      KeySym sym = XLookupKeysym(&ev.xkey, 0);
      if (sym == o.quitKey) {
        quit = true;
      } else if (o.spawnKey != NoSymbol && sym == o.spawnKey) {
        runChild(name, o.childExits);
      } else if (o.recreateKey != NoSymbol && sym == o.recreateKey) {
        recreate = true;
      }
    }
    if (recreate) {
      recreate = false;
      if (ctx) gl.makeCurrent(dpy, None, nullptr);
      if (config) gl.destroyWindow(dpy, surface);
      XDestroyWindow(dpy, win);
      win = openWindow(0);
      surface = config ? gl.createWindow(dpy, config, win, nullptr) : win;
      if (ctx && (!surface || !gl.makeCurrent(dpy, surface, ctx))) {
        std::fprintf(stderr, "%s: cannot bind the GL context to the new window\n", name);
        return 1;
      }
      std::printf("%s: new window 0x%lx\n", name, win);
      std::fflush(stdout);
    }

    if (period > 0 || o.noDraw) {
      next += o.noDraw ? 0.01 : period;
      double t = now();
      // Frames missed by a short stall are caught up, as game loops do; after a quarter of a
      // second the schedule starts afresh.
      if (next < t - 0.25) next = t;
      sleepUntil(next);
    }
  }

  double ran = now() - start;
  if (ctx) {
    gl.makeCurrent(dpy, None, nullptr);
    gl.destroyContext(dpy, ctx);
  }
  if (config) {
    gl.destroyWindow(dpy, surface);
    if (second != None) gl.destroyWindow(dpy, secondSurface);
  }
  if (second != None) XDestroyWindow(dpy, second);
  XDestroyWindow(dpy, win);
  XCloseDisplay(dpy);
  std::printf("%s: %ld frames in %.2f s, %s\n", name, frames, ran,
              quit ? "quit key" : stopRequested ? "signal" : "time is up");
  return 0;
}
