// vorna-testgl-dlopen: does not link libGL. It opens it at run time and takes the GLX entry
// points with dlsym and the GL ones through the glXGetProcAddressARB it found that way, as
// SDL2 and many games do; such a program never calls glXSwapBuffers through the dynamic linker.
#include "glapi.h"

#include <dlfcn.h>

#include <cstring>

namespace {

template <typename F>
bool take(void* lib, const char* symbol, F* out, std::string* error) {
  *out = reinterpret_cast<F>(dlsym(lib, symbol));
  if (!*out) *error = std::string("libGL.so.1 has no ") + symbol;
  return *out != nullptr;
}

template <typename F>
bool takeProc(void* (*getProc)(const GLubyte*), const char* symbol, F* out, std::string* error) {
  *out = reinterpret_cast<F>(getProc(reinterpret_cast<const GLubyte*>(symbol)));
  if (!*out) *error = std::string("glXGetProcAddressARB has no ") + symbol;
  return *out != nullptr;
}

bool loadDlopen(const char* style, GlApi* gl, std::string* error) {
  if (*style != '\0' && std::strcmp(style, "dlopen") != 0) {
    *error = std::string("unknown --load style '") + style + "' (dlopen only)";
    return false;
  }
  void* lib = dlopen("libGL.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    *error = std::string("cannot open libGL.so.1: ") + dlerror();
    return false;
  }
  void* (*getProc)(const GLubyte*) = nullptr;
  return take(lib, "glXGetProcAddressARB", &getProc, error) &&
         take(lib, "glXChooseVisual", &gl->chooseVisual, error) &&
         take(lib, "glXCreateContext", &gl->createContext, error) &&
         take(lib, "glXMakeCurrent", &gl->makeCurrent, error) &&
         take(lib, "glXSwapBuffers", &gl->swapBuffers, error) &&
         take(lib, "glXDestroyContext", &gl->destroyContext, error) &&
         take(lib, "glXChooseFBConfig", &gl->chooseFBConfig, error) &&
         take(lib, "glXGetVisualFromFBConfig", &gl->getVisualFromFBConfig, error) &&
         take(lib, "glXCreateNewContext", &gl->createNewContext, error) &&
         take(lib, "glXCreateWindow", &gl->createWindow, error) &&
         take(lib, "glXDestroyWindow", &gl->destroyWindow, error) &&
         takeProc(getProc, "glViewport", &gl->viewport, error) &&
         takeProc(getProc, "glClearColor", &gl->clearColor, error) &&
         takeProc(getProc, "glClear", &gl->clear, error) &&
         takeProc(getProc, "glScissor", &gl->scissor, error) &&
         takeProc(getProc, "glEnable", &gl->enable, error) &&
         takeProc(getProc, "glDisable", &gl->disable, error);
}

}  // namespace

int main(int argc, char** argv) {
  return runTestProgram("vorna-testgl-dlopen", argc, argv, loadDlopen);
}
