// The few GL and GLX entry points the test programs use, gathered in one table so that each
// program can fetch them its own way: linked, through glXGetProcAddressARB, or through dlsym.
#pragma once

#include <GL/gl.h>
#include <GL/glx.h>

struct GlApi {
  XVisualInfo* (*chooseVisual)(Display*, int, int*);
  GLXContext (*createContext)(Display*, XVisualInfo*, GLXContext, Bool);
  Bool (*makeCurrent)(Display*, GLXDrawable, GLXContext);
  void (*swapBuffers)(Display*, GLXDrawable);
  void (*destroyContext)(Display*, GLXContext);
  // GLX 1.3, for --glxwindow.
  GLXFBConfig* (*chooseFBConfig)(Display*, int, const int*, int*);
  XVisualInfo* (*getVisualFromFBConfig)(Display*, GLXFBConfig);
  GLXContext (*createNewContext)(Display*, GLXFBConfig, int, GLXContext, Bool);
  GLXWindow (*createWindow)(Display*, GLXFBConfig, Window, const int*);
  void (*destroyWindow)(Display*, GLXWindow);
  void (*viewport)(GLint, GLint, GLsizei, GLsizei);
  void (*clearColor)(GLclampf, GLclampf, GLclampf, GLclampf);
  void (*clear)(GLbitfield);
  void (*scissor)(GLint, GLint, GLsizei, GLsizei);
  void (*enable)(GLenum);
  void (*disable)(GLenum);
};

#include <string>

// Fills the table the way STYLE (the --load option, empty for the default) says; false and a
// message in *error when it cannot.
using GlLoader = bool (*)(const char* style, GlApi* gl, std::string* error);

// Parses the options, opens the window and runs the frame loop; returns main's exit status.
int runTestProgram(const char* name, int argc, char** argv, GlLoader loader);
