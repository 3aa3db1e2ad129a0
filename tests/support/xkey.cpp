// vorna-xkey: waits for a program's window, focuses it and types keys into it through XTEST,
// the way a user's keyboard would. Used by the end-to-end tests and the demo.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kUsage[] =
    "usage: vorna-xkey [--display D] [--window-name NAME | --window-pid PID]\n"
    "                  [--delay-ms N] [--timeout-ms N] KEY...\n"
    "Waits until the window is mapped (at most --timeout-ms, default 10000), gives it the input\n"
    "focus and sends a press and a release of each KEY (a keysym name such as F8) through XTEST,\n"
    "pausing --delay-ms (default 100) before each key. Without a window option the keys go to\n"
    "whatever window has the focus.\n";

struct Options {
  const char* display = nullptr;
  const char* windowName = nullptr;
  long windowPid = -1;
  long delayMs = 100;
  long timeoutMs = 10000;
  std::vector<const char*> keys;
};

bool parseCount(const char* text, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0) return false;
  *out = v;
  return true;
}

// Returns 0 on success, 2 on a usage error (message printed), -1 for --help.
int parseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") return -1;
    if (a == "--") {
      for (++i; i < argc; ++i) o->keys.push_back(argv[i]);
      break;
    }
    if (a.rfind("--", 0) != 0) {
      o->keys.push_back(argv[i]);
      continue;
    }
    if (a != "--display" && a != "--window-name" && a != "--window-pid" && a != "--delay-ms" &&
        a != "--timeout-ms") {
      std::fprintf(stderr, "vorna-xkey: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "vorna-xkey: option %s needs a value\n%s", a.c_str(), kUsage);
      return 2;
    }
    const char* v = argv[++i];
    bool ok = true;
    if (a == "--display") {
      o->display = v;
    } else if (a == "--window-name") {
      o->windowName = v;
    } else if (a == "--window-pid") {
      ok = parseCount(v, &o->windowPid) && o->windowPid > 0;
    } else if (a == "--delay-ms") {
      ok = parseCount(v, &o->delayMs);
    } else {
      ok = parseCount(v, &o->timeoutMs);
    }
    if (!ok) {
      std::fprintf(stderr, "vorna-xkey: bad value '%s' for %s\n%s", v, a.c_str(), kUsage);
      return 2;
    }
  }
  if (o->windowName && o->windowPid > 0) {
    std::fprintf(stderr, "vorna-xkey: give --window-name or --window-pid, not both\n%s", kUsage);
    return 2;
  }
  if (o->keys.empty()) {
    std::fprintf(stderr, "vorna-xkey: no KEY given\n%s", kUsage);
    return 2;
  }
  return 0;
}

// Windows can vanish between listing and asking about them; such a BadWindow must not end the
// tool, so errors are swallowed and each query's own return value tells what happened.
int ignoreXError(Display*, XErrorEvent*) { return 0; }

bool isViewable(Display* dpy, Window w) {
  XWindowAttributes attr;
  return XGetWindowAttributes(dpy, w, &attr) && attr.map_state == IsViewable;
}

bool hasName(Display* dpy, Window w, const char* name) {
  char* wmName = nullptr;
  if (!XFetchName(dpy, w, &wmName) || !wmName) return false;
  bool same = std::strcmp(wmName, name) == 0;
  XFree(wmName);
  return same;
}

bool hasPid(Display* dpy, Window w, Atom pidAtom, long pid) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(dpy, w, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                         &after, &data) != Success)
    return false;
  bool same = type == XA_CARDINAL && format == 32 && count == 1 &&
              static_cast<long>(*reinterpret_cast<unsigned long*>(data)) == pid;
  if (data) XFree(data);
  return same;
}

// Depth-first over the whole tree: without a window manager a program's window is a child of
// the root, but with one it sits inside a frame, so do not stop at the first level.
Window findWindow(Display* dpy, Window w, const Options& o, Atom pidAtom) {
  bool match = o.windowName ? hasName(dpy, w, o.windowName) : hasPid(dpy, w, pidAtom, o.windowPid);
  if (match && isViewable(dpy, w)) return w;
  Window root = None, parent = None, *children = nullptr;
  unsigned int n = 0;
  if (!XQueryTree(dpy, w, &root, &parent, &children, &n)) return None;
  Window found = None;
  for (unsigned int i = 0; i < n && found == None; ++i)
    found = findWindow(dpy, children[i], o, pidAtom);
  if (children) XFree(children);
  return found;
}

void sleepMs(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int rc = parseOptions(argc, argv, &o);
  if (rc == -1) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (rc != 0) return rc;

  Display* dpy = XOpenDisplay(o.display);
  if (!dpy) {
    std::fprintf(stderr, "vorna-xkey: cannot open display '%s'\n",
                 o.display ? o.display : (std::getenv("DISPLAY") ? std::getenv("DISPLAY") : ""));
    return 1;
  }
  int evBase, errBase, major, minor;
  if (!XTestQueryExtension(dpy, &evBase, &errBase, &major, &minor)) {
    std::fprintf(stderr, "vorna-xkey: the X server has no XTEST extension\n");
    XCloseDisplay(dpy);
    return 1;
  }

  std::vector<KeyCode> codes;
  for (const char* key : o.keys) {
    KeySym sym = XStringToKeysym(key);
    KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(dpy, sym);
    if (code == 0) {
      std::fprintf(stderr, "vorna-xkey: '%s' is no key on this keyboard\n", key);
      XCloseDisplay(dpy);
      return 2;
    }
    codes.push_back(code);
  }

  XSetErrorHandler(ignoreXError);
  if (o.windowName || o.windowPid > 0) {
    Atom pidAtom = XInternAtom(dpy, "_NET_WM_PID", False);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.timeoutMs);
    Window target = None;
    for (;;) {
      target = findWindow(dpy, DefaultRootWindow(dpy), o, pidAtom);
      if (target != None || std::chrono::steady_clock::now() >= deadline) break;
      sleepMs(20);
    }
    if (target == None) {
      if (o.windowName)
        std::fprintf(stderr, "vorna-xkey: no mapped window named '%s' within %ld ms\n",
                     o.windowName, o.timeoutMs);
      else
        std::fprintf(stderr, "vorna-xkey: no mapped window of pid %ld within %ld ms\n",
                     o.windowPid, o.timeoutMs);
      XCloseDisplay(dpy);
      return 1;
    }
    // Xvfb runs no window manager, so nobody else hands out the focus; key events go to the
    // focus window (or to the child of it under the pointer).
    XSetInputFocus(dpy, target, RevertToPointerRoot, CurrentTime);
    XSync(dpy, False);
  }

  for (KeyCode code : codes) {
    if (o.delayMs > 0) sleepMs(o.delayMs);
    XTestFakeKeyEvent(dpy, code, True, CurrentTime);
    XTestFakeKeyEvent(dpy, code, False, CurrentTime);
    XSync(dpy, False);
  }
  XCloseDisplay(dpy);
  return 0;
}
