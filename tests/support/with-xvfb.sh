#!/usr/bin/env bash
# with-xvfb.sh COMMAND [ARGS...]: runs COMMAND under a private Xvfb (1920x1080, 24-bit).
# Xvfb picks a free display itself and reports it on -displayfd, so tests running in parallel
# never race for a display number the way `xvfb-run -a` can.
set -u
tmp=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 "${VORNA_XVFB_SCREEN:-1920x1080x24}" -nolisten tcp -noreset \
  3>"$tmp/display" >"$tmp/log" 2>&1 &
xpid=$!
for _ in $(seq 200); do
  [ -s "$tmp/display" ] && break
  kill -0 "$xpid" 2>/dev/null || break
  sleep 0.05
done
if [ ! -s "$tmp/display" ]; then
  echo "with-xvfb.sh: Xvfb did not start:" >&2
  cat "$tmp/log" >&2
  kill "$xpid" 2>/dev/null
  rm -rf "$tmp"
  exit 1
fi
export DISPLAY=":$(head -n1 "$tmp/display")"
"$@"
rc=$?
kill "$xpid" 2>/dev/null
wait "$xpid" 2>/dev/null
rm -rf "$tmp"
exit "$rc"
