// vorna-testgl: linked against libGL, as most programs are. --load getproc fetches
// glXSwapBuffers through glXGetProcAddressARB instead of calling the linked symbol, the way
// engines that load every entry point themselves do.
#include "glapi.h"

#include <cstring>

namespace {

bool loadLinked(const char* style, GlApi* gl, std::string* error) {
  gl->chooseVisual = glXChooseVisual;
  gl->createContext = glXCreateContext;
  gl->makeCurrent = glXMakeCurrent;
  gl->swapBuffers = glXSwapBuffers;
  gl->destroyContext = glXDestroyContext;
  gl->viewport = glViewport;
  gl->clearColor = glClearColor;
  gl->clear = glClear;
  gl->scissor = glScissor;
  gl->enable = glEnable;
  gl->disable = glDisable;
  if (*style == '\0' || std::strcmp(style, "link") == 0) return true;
  if (std::strcmp(style, "getproc") == 0) {
    gl->swapBuffers = reinterpret_cast<void (*)(Display*, GLXDrawable)>(
        glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXSwapBuffers")));
    if (!gl->swapBuffers) *error = "glXGetProcAddressARB has no glXSwapBuffers";
    return gl->swapBuffers != nullptr;
  }
  *error = std::string("unknown --load style '") + style + "' (link or getproc)";
  return false;
}

}  // namespace

#ifndef TESTGL_NAME
#define TESTGL_NAME "vorna-testgl"
#endif

int main(int argc, char** argv) { return runTestProgram(TESTGL_NAME, argc, argv, loadLinked); }
