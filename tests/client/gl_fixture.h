// A real GLX window on the test's X server (Xvfb, Mesa) with a context of the asked-for
// profile, and the pictures the client tests record from it.
#pragma once

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>

#include <cstdint>
#include <memory>

namespace mivo::test {

enum class Profile { Core, Compatibility };
const char *profileName(Profile profile);

class GlWindow {
public:
    // Null when no display or no such context can be had (the failure is printed).
    static std::unique_ptr<GlWindow> open(int width, int height, Profile profile,
                                          bool doubleBuffered = true);
    ~GlWindow();
    GlWindow(const GlWindow &) = delete;
    GlWindow &operator=(const GlWindow &) = delete;

    void makeCurrent();
    void releaseCurrent();
    // Replaces the context by a fresh one of the same profile, made current.
    bool recreateContext();
    void swap();

    int width() const { return width_; }
    int height() const { return height_; }
    Display *display() const { return display_; }

private:
    GlWindow() = default;
    GLXContext createContext();

    Display *display_ = nullptr;
    Window window_ = 0;
    Colormap colormap_ = 0;
    GLXFBConfig config_ = nullptr;
    GLXContext context_ = nullptr;
    Profile profile_ = Profile::Core;
    int width_ = 0, height_ = 0;
};

// Paints the framebuffer bound for drawing black, then the rectangle whose lower-left corner is
// (x, y) in GL's bottom-up coordinates as four flat quadrants: seen top-down, red top left,
// green top right, blue bottom left, white bottom right (the layout of quadrants()). Scissored
// clears only, so it draws alike in core and compatibility contexts.
void drawQuadrants(int x, int y, int width, int height);
void clearTo(float r, float g, float b);

}  // namespace mivo::test
