// vorna-testgl: linked against libGL, as most programs are. --load getproc fetches
// glXSwapBuffers, glXCreateWindow and glXDestroyWindow through glXGetProcAddressARB instead of
// calling the linked symbols, the way engines that load every entry point themselves do.
#include "glapi.h"

#include <cstring>

namespace {

template <typename F>
bool fetch(const char* symbol, F* out, std::string* error) {
  *out = reinterpret_cast<F>(glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(symbol)));
  if (!*out) *error = std::string("glXGetProcAddressARB has no ") + symbol;
  return *out != nullptr;
}

bool loadLinked(const char* style, GlApi* gl, std::string* error) {
  gl->chooseVisual = glXChooseVisual;
  gl->createContext = glXCreateContext;
  gl->makeCurrent = glXMakeCurrent;
  gl->swapBuffers = glXSwapBuffers;
  gl->destroyContext = glXDestroyContext;
  gl->chooseFBConfig = glXChooseFBConfig;
  gl->getVisualFromFBConfig = glXGetVisualFromFBConfig;
  gl->createNewContext = glXCreateNewContext;
  gl->createWindow = glXCreateWindow;
  gl->destroyWindow = glXDestroyWindow;
  gl->viewport = glViewport;
  gl->clearColor = glClearColor;
  gl->clear = glClear;
  gl->scissor = glScissor;
  gl->enable = glEnable;
  gl->disable = glDisable;
  if (*style == '\0' || std::strcmp(style, "link") == 0) return true;
  if (std::strcmp(style, "getproc") == 0)
    return fetch("glXSwapBuffers", &gl->swapBuffers, error) &&
           fetch("glXCreateWindow", &gl->createWindow, error) &&
           fetch("glXDestroyWindow", &gl->destroyWindow, error);
  *error = std::string("unknown --load style '") + style + "' (link or getproc)";
  return false;
}

}  // namespace

#ifndef TESTGL_NAME
#define TESTGL_NAME "vorna-testgl"
#endif

int main(int argc, char** argv) { return runTestProgram(TESTGL_NAME, argc, argv, loadLinked); }
