#!/usr/bin/env bash
# check_preload_elf.sh LIBRARY: the preload layer exports exactly its hooks and needs only libc,
# so nothing of ours but the hooks reaches the program's global scope.
set -euo pipefail
lib=$1
expected="XCheckIfEvent XCheckMaskEvent XCheckTypedEvent XCheckTypedWindowEvent XCheckWindowEvent XCloseDisplay
XDestroyWindow XIfEvent XMaskEvent XNextEvent XPeekEvent XPeekIfEvent XWindowEvent dlsym glXCreateGLXPixmap
glXCreatePbuffer glXCreatePixmap glXCreateWindow glXDestroyGLXPixmap glXDestroyPbuffer
glXDestroyPixmap glXDestroyWindow glXGetProcAddress glXGetProcAddressARB glXSwapBuffers"
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
wanted=$(tr ' ' '\n' <<<"$expected" | sed '/^$/d' | sort)
status=0
if [ "$exported" != "$wanted" ]; then
  echo "exports differ (< exported, > expected):"
  diff <(echo "$exported") <(echo "$wanted") || true
  status=1
fi
needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if [ "$needed" != "libc.so.6" ]; then
  echo "NEEDED should be libc.so.6 alone, is:"
  echo "$needed"
  status=1
fi
exit $status
