// The dynamic linker's dlsym, which our own exported dlsym hides from everyone else.
#ifndef VORNA_PRELOAD_REAL_DLSYM_H
#define VORNA_PRELOAD_REAL_DLSYM_H

using DlsymFunction = void *(*)(void *handle, const char *name);

// Null only when the C library offers no dlsym we know how to ask for, or when called again on
// a thread that is in the middle of asking.
DlsymFunction realDlsym();

#endif
