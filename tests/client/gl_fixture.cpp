#include "gl_fixture.h"

#include <X11/Xlib.h>

#include <cstdio>

namespace mivo::test {
namespace {

using CreateContextAttribs = GLXContext (*)(Display *, GLXFBConfig, GLXContext, Bool, const int *);

Bool isMapNotify(Display *, XEvent *event, XPointer window) {
    return event->type == MapNotify && event->xmap.window == *reinterpret_cast<Window *>(window);
}

}  // namespace

const char *profileName(Profile profile) {
    return profile == Profile::Core ? "core" : "compatibility";
}

std::unique_ptr<GlWindow> GlWindow::open(int width, int height, Profile profile, bool doubleBuffered) {
    std::unique_ptr<GlWindow> w(new GlWindow);
    w->width_ = width;
    w->height_ = height;
    w->profile_ = profile;
    w->display_ = XOpenDisplay(nullptr);
    if (!w->display_) {
        std::fprintf(stderr, "gl_fixture: no X display\n");
        return nullptr;
    }
    const int attributes[] = {GLX_X_RENDERABLE, True, GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT,
                              GLX_RENDER_TYPE, GLX_RGBA_BIT, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8,
                              GLX_BLUE_SIZE, 8, GLX_DOUBLEBUFFER, doubleBuffered ? True : False,
                              None};
    int count = 0;
    GLXFBConfig *configs = glXChooseFBConfig(w->display_, DefaultScreen(w->display_), attributes, &count);
    if (!configs || count == 0) {
        std::fprintf(stderr, "gl_fixture: no matching GLX frame buffer configuration\n");
        return nullptr;
    }
    w->config_ = configs[0];
    XFree(configs);
    XVisualInfo *visual = glXGetVisualFromFBConfig(w->display_, w->config_);
    Window root = RootWindow(w->display_, visual->screen);
    w->colormap_ = XCreateColormap(w->display_, root, visual->visual, AllocNone);
    XSetWindowAttributes set{};
    set.colormap = w->colormap_;
    set.event_mask = StructureNotifyMask;
    w->window_ = XCreateWindow(w->display_, root, 0, 0, unsigned(width), unsigned(height), 0,
                               visual->depth, InputOutput, visual->visual, CWColormap | CWEventMask, &set);
    XFree(visual);
    XMapWindow(w->display_, w->window_);
    XEvent event;
    XIfEvent(w->display_, &event, isMapNotify, reinterpret_cast<XPointer>(&w->window_));
    w->context_ = w->createContext();
    if (!w->context_) {
        std::fprintf(stderr, "gl_fixture: no %s context\n", profileName(profile));
        return nullptr;
    }
    w->makeCurrent();
    return w;
}

GLXContext GlWindow::createContext() {
    auto create = reinterpret_cast<CreateContextAttribs>(
        glXGetProcAddressARB(reinterpret_cast<const GLubyte *>("glXCreateContextAttribsARB")));
    if (!create) return nullptr;
    const int core[] = {GLX_CONTEXT_MAJOR_VERSION_ARB, 3, GLX_CONTEXT_MINOR_VERSION_ARB, 3,
                        GLX_CONTEXT_PROFILE_MASK_ARB, GLX_CONTEXT_CORE_PROFILE_BIT_ARB, None};
    const int compatibility[] = {GLX_CONTEXT_MAJOR_VERSION_ARB, 3, GLX_CONTEXT_MINOR_VERSION_ARB, 3,
                                 GLX_CONTEXT_PROFILE_MASK_ARB,
                                 GLX_CONTEXT_COMPATIBILITY_PROFILE_BIT_ARB, None};
    return create(display_, config_, nullptr, True,
                  profile_ == Profile::Core ? core : compatibility);
}

GlWindow::~GlWindow() {
    if (!display_) return;
    glXMakeCurrent(display_, None, nullptr);
    if (context_) glXDestroyContext(display_, context_);
    if (window_) XDestroyWindow(display_, window_);
    if (colormap_) XFreeColormap(display_, colormap_);
    XCloseDisplay(display_);
}

void GlWindow::makeCurrent() { glXMakeCurrent(display_, window_, context_); }
void GlWindow::releaseCurrent() { glXMakeCurrent(display_, None, nullptr); }

bool GlWindow::recreateContext() {
    releaseCurrent();
    glXDestroyContext(display_, context_);
    context_ = createContext();
    if (!context_) return false;
    makeCurrent();
    return true;
}

void GlWindow::swap() { glXSwapBuffers(display_, window_); }

void clearTo(float r, float g, float b) {
    glDisable(GL_SCISSOR_TEST);
    glClearColor(r, g, b, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

void drawQuadrants(int x, int y, int width, int height) {
    clearTo(0, 0, 0);
    glEnable(GL_SCISSOR_TEST);
    const int halfW = width / 2, halfH = height / 2;
    struct Quad {
        int x, y, w, h;
        float r, g, b;
    };
    // GL's y grows upwards: the lower half on screen comes first.
    const Quad quads[] = {
        {x, y, halfW, halfH, 0, 0, 1},                                  // bottom left: blue
        {x + halfW, y, width - halfW, halfH, 1, 1, 1},                  // bottom right: white
        {x, y + halfH, halfW, height - halfH, 1, 0, 0},                 // top left: red
        {x + halfW, y + halfH, width - halfW, height - halfH, 0, 1, 0}, // top right: green
    };
    for (const Quad &q : quads) {
        glScissor(q.x, q.y, q.w, q.h);
        glClearColor(q.r, q.g, q.b, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    glDisable(GL_SCISSOR_TEST);
}

}  // namespace mivo::test
