// A dependency of the stand-in core whose one function the probe program defines as well.
#define EXPORT __attribute__((visibility("default")))
extern "C" EXPORT const char *vornaTestClash() { return "library"; }
