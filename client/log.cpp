#include "log.h"

#include <dlfcn.h>
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include <mutex>

namespace mivo {
namespace {

using LogMessageFn = void (*)(uint64_t, const char *, ...);

LogMessageFn findCoreLog() {
    // "logMessage" is too common a name to take from whoever exports it first: a program (or one
    // of its libraries) with a function of that name would be called with our arguments. The
    // core is the object that exports vornaCoreCapture, and only a logMessage of that same object
    // is taken. With RTLD_DEFAULT glibc searches the calling object's scope, which holds the core
    // when the core loaded us (also when it was opened privately). The NOLOAD opens look into a
    // core that is in the process but not first in that scope; they never load one, and their
    // handles are kept, so the pointer stays valid.
    Dl_info core{};
    void *anchor = dlsym(RTLD_DEFAULT, "vornaCoreCapture");
    if (anchor && dladdr(anchor, &core)) {
        auto inCore = [&core](void *fn) {
            Dl_info owner{};
            return fn && dladdr(fn, &owner) && owner.dli_fbase == core.dli_fbase;
        };
        void *fn = dlsym(RTLD_DEFAULT, "logMessage");
        if (inCore(fn)) return reinterpret_cast<LogMessageFn>(fn);
        // The global scope had a logMessage of the program's: ask the core's own file.
        if (core.dli_fname && *core.dli_fname) {
            if (void *handle = dlopen(core.dli_fname, RTLD_LAZY | RTLD_NOLOAD)) {
                fn = dlsym(handle, "logMessage");
                if (inCore(fn)) return reinterpret_cast<LogMessageFn>(fn);
                dlclose(handle);
            }
        }
    }
    if (void *core = dlopen("libvorna.so", RTLD_LAZY | RTLD_NOLOAD)) {
        if (auto fn = reinterpret_cast<LogMessageFn>(dlsym(core, "logMessage"))) return fn;
        dlclose(core);
    }
    return nullptr;
}

LogMessageFn coreLog() {
    static std::once_flag once;
    static LogMessageFn fn = nullptr;
    std::call_once(once, [] { fn = findCoreLog(); });
    return fn;
}

// Host programs may set LC_NUMERIC (a German game prints "29,97"); our numbers are always
// formatted in the C locale, switched for this thread only.
class CLocaleScope {
public:
    CLocaleScope() {
        static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        if (c) previous_ = uselocale(c);
    }
    ~CLocaleScope() {
        if (previous_) uselocale(previous_);
    }
    CLocaleScope(const CLocaleScope &) = delete;
    CLocaleScope &operator=(const CLocaleScope &) = delete;

private:
    locale_t previous_ = static_cast<locale_t>(0);
};

const char *levelName(uint64_t level) {
    static const char *const names[] = {"PANIC", "ERROR", "WARN ", "INFO ", "DEBUG"};
    return level < sizeof names / sizeof names[0] ? names[level] : "DEBUG";
}

}  // namespace

void clientLog(uint64_t level, const char *format, ...) {
    char text[8192];
    {
        CLocaleScope cLocale;
        va_list args;
        va_start(args, format);
        int length = vsnprintf(text, sizeof text, format, args);
        va_end(args);
        // A cut line still ends its line.
        if (length >= static_cast<int>(sizeof text)) text[sizeof text - 2] = '\n';
    }

    if (LogMessageFn core = coreLog()) {
        core(level, "%s", text);
        return;
    }
    // No core in the process (a test, or a caller of our own): same line format on stderr.
    // The core decides verbosity itself; here DEBUG stays quiet.
    if (level > LogInfo) return;
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    fprintf(stderr, "[ %04d/%02d/%02d %02d:%02d:%02d | %s ]: %s", local.tm_year + 1900,
            local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
            levelName(level), text);
}

}  // namespace mivo
