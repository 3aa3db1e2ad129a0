#!/usr/bin/env bash
# libvorna.so exports exactly its five names, needs the capture client, and takes Xlib from the
# program it is loaded into.
set -euo pipefail
lib=$1

expected=$'logMessage\nupdateConfiguration\nvornaCoreCapture\nvornaCoreEvent\nvornaGlobal'
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported names differ:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if ! grep -qx 'libmivo.so.0' <<<"$needed"; then
  echo "libmivo.so.0 is not among the NEEDED entries:"; echo "$needed"; exit 1
fi
if grep -q '^libX11' <<<"$needed"; then
  echo "libX11 must not be NEEDED:"; echo "$needed"; exit 1
fi
echo "exports and NEEDED entries as expected"
