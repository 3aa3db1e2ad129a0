#ifndef VORNA_PRELOAD_HOOK_EXPORT_H
#define VORNA_PRELOAD_HOOK_EXPORT_H

// Marks the definitions that preload.map exports; everything else stays hidden.
#define VORNA_HOOK __attribute__((visibility("default")))

#endif
