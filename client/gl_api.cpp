#include "gl_api.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace mivo {
namespace {

using GetProcAddressFn = void (*(*)(const GLubyte *))();

// libGLX.so.0 is the vendor-neutral GLX of a GLVND system, libGL.so.1 the classic one (and
// GLVND's compatibility wrapper). RTLD_NOLOAD only looks: a program without GL gets no GL from
// us. The handle is kept, so the library stays as long as we use its functions. Looking straight
// into the library also steps past any glXGetProcAddressARB an LD_PRELOAD layer puts in front.
GetProcAddressFn findGetProcAddress() {
    for (const char *name : {"libGLX.so.0", "libGL.so.1"}) {
        if (void *lib = dlopen(name, RTLD_LAZY | RTLD_NOLOAD)) {
            if (auto fn = reinterpret_cast<GetProcAddressFn>(dlsym(lib, "glXGetProcAddressARB")))
                return fn;
            dlclose(lib);
        }
    }
    // A GL linked in statically or under another name: whatever the process resolves.
    return reinterpret_cast<GetProcAddressFn>(dlsym(RTLD_DEFAULT, "glXGetProcAddressARB"));
}

template <typename Fn>
bool resolve(GetProcAddressFn getProc, Fn &slot, const char *name) {
    slot = reinterpret_cast<Fn>(getProc(reinterpret_cast<const GLubyte *>(name)));
    return slot != nullptr;
}

bool load(GlApi &api) {
    GetProcAddressFn getProc = findGetProcAddress();
    if (!getProc) return false;
    // glXGetProcAddress hands out pointers without a current context; GLVND returns dispatch
    // stubs that follow whichever context is current when they are called.
    bool ok = true;
    ok &= resolve(getProc, api.getCurrentContext, "glXGetCurrentContext");
    ok &= resolve(getProc, api.getCurrentDrawable, "glXGetCurrentDrawable");
    ok &= resolve(getProc, api.getString, "glGetString");
    ok &= resolve(getProc, api.getStringi, "glGetStringi");
    ok &= resolve(getProc, api.getIntegerv, "glGetIntegerv");
    ok &= resolve(getProc, api.getBooleanv, "glGetBooleanv");
    ok &= resolve(getProc, api.getFloatv, "glGetFloatv");
    ok &= resolve(getProc, api.pixelStorei, "glPixelStorei");
    ok &= resolve(getProc, api.readBuffer, "glReadBuffer");
    ok &= resolve(getProc, api.readPixels, "glReadPixels");
    ok &= resolve(getProc, api.bindFramebuffer, "glBindFramebuffer");
    ok &= resolve(getProc, api.genBuffers, "glGenBuffers");
    ok &= resolve(getProc, api.deleteBuffers, "glDeleteBuffers");
    ok &= resolve(getProc, api.bindBuffer, "glBindBuffer");
    ok &= resolve(getProc, api.bufferData, "glBufferData");
    ok &= resolve(getProc, api.mapBufferRange, "glMapBufferRange");
    ok &= resolve(getProc, api.unmapBuffer, "glUnmapBuffer");
    ok &= resolve(getProc, api.fenceSync, "glFenceSync");
    ok &= resolve(getProc, api.clientWaitSync, "glClientWaitSync");
    ok &= resolve(getProc, api.deleteSync, "glDeleteSync");
    // Only used where the context has it; a core-profile driver may hand out nothing here.
    resolve(getProc, api.pixelTransferf, "glPixelTransferf");
    resolve(getProc, api.getContextId, "glXGetContextIDEXT");
    resolve(getProc, api.queryCurrentRendererInteger, "glXQueryCurrentRendererIntegerMESA");
    return ok;
}

}  // namespace

const GlApi *glApi() {
    // Only success is kept: a program may load its GL after our first look.
    static std::mutex lock;
    static GlApi api;
    static std::atomic<bool> loaded{false};
    if (loaded.load(std::memory_order_acquire)) return &api;
    std::lock_guard<std::mutex> guard(lock);
    if (!loaded.load(std::memory_order_relaxed) && load(api))
        loaded.store(true, std::memory_order_release);
    return loaded.load(std::memory_order_relaxed) ? &api : nullptr;
}

}  // namespace mivo
