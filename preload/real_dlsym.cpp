// Finding the real dlsym.
//
// We export a dlsym of our own, so dlsym(RTLD_NEXT, "dlsym") would come back to us. dlvsym asks
// for a symbol by version and is not hooked. Since glibc 2.34 dlsym lives in libc.so.6 with the
// version GLIBC_2.34; before that it lived in libdl.so.2 with the architecture's base version
// (GLIBC_2.2.5 on x86-64, GLIBC_2.17 on AArch64), and that old version is still present in newer
// libcs as a compatibility alias.
//
// Libraries call dlsym from their constructors, possibly before ours ran, so this is done on
// first use with nothing but dlvsym. A malloc replacement that calls dlsym from malloc could get
// here again from inside dlvsym on the same thread; the thread-local flag answers that nested
// call with null instead of recursing without end. The flag is initial-exec: the layer is loaded
// at start-up, so its TLS is static and reading it never calls __tls_get_addr, which may
// allocate.
#include "real_dlsym.h"

#include <dlfcn.h>

#include <atomic>

namespace {

std::atomic<DlsymFunction> cached{nullptr};
__thread bool asking __attribute__((tls_model("initial-exec")));

const char *const versions[] = {"GLIBC_2.34", "GLIBC_2.2.5", "GLIBC_2.17"};

__attribute__((constructor)) void findEarly() { realDlsym(); }

}  // namespace

DlsymFunction realDlsym() {
    DlsymFunction found = cached.load(std::memory_order_acquire);
    if (found || asking) return found;
    asking = true;
    for (const char *version : versions) {
        found = reinterpret_cast<DlsymFunction>(dlvsym(RTLD_NEXT, "dlsym", version));
        if (found) break;
    }
    asking = false;
    if (found) cached.store(found, std::memory_order_release);
    return found;
}
