#!/usr/bin/env bash
# The README's main command: installs what is missing, builds, and records glxgears for a few
# seconds through `vorna run`, pressing F8 through XTEST to start and to stop. Without a display
# it starts its own Xvfb. Recordings go to build/demo/; nothing is written to your ~/.vorna (the
# demo runs glxgears with a temporary HOME holding a "demo" profile).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${VORNA_DEMO_BUILD:-$root/build}
demo=$build/demo
seconds=${VORNA_DEMO_SECONDS:-4}

say() { printf 'demo: %s\n' "$*"; }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

if [ "${VORNA_DEMO_STAGE:-}" != record ]; then
  ./scripts/install-deps.sh
  if [ -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" >/dev/null
  else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  say "building (incremental)"
  cmake --build "$build" -j"$(nproc)" --target vorna-launcher vorna-preload vorna vorna-config-probe vorna-xkey
  if [ -z "${DISPLAY:-}" ]; then
    say "no DISPLAY: starting a private Xvfb"
    VORNA_DEMO_STAGE=record exec ./tests/support/with-xvfb.sh "$0"
  fi
fi

command -v glxgears >/dev/null || die "glxgears not found (Debian package mesa-utils)"
mkdir -p "$demo"
home=$(mktemp -d)
log=$home/glxgears.log
gears=
cleanup() {
  [ -n "$gears" ] && kill "$gears" 2>/dev/null && wait "$gears" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT

mkdir -p "$home/.vorna/profiles"
cat >"$home/.vorna/profiles/demo" <<EOF
OUTPUT = file://$demo/
HOTKEY = F8
FPS = 30
INSETS = 0 0 0 0
SCALE = 0
VERBOSE = 3
EOF

# Waits up to $2 seconds for a line matching $1 in the program's log.
await() {
  for _ in $(seq $(($2 * 10))); do
    grep -q "$1" "$log" && return 0
    kill -0 "$gears" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

say "running: vorna run glxgears (on $DISPLAY)"
HOME=$home VORNA=demo "$build/bin/vorna" run glxgears >/dev/null 2>"$log" &
gears=$!
# The core is loaded at the program's first frame and logs its settings then; a press before
# that would pass by.
await 'Active configuration' 20 || { cat "$log" >&2; die "glxgears did not start drawing through Vorna"; }

say "pressing F8 (start)"
"$build/bin/vorna-xkey" --window-name glxgears F8
await 'Vorna is recording' 10 || { cat "$log" >&2; die "the recording did not start"; }
say "recording for $seconds s"
sleep "$seconds"
say "pressing F8 (stop)"
"$build/bin/vorna-xkey" --window-name glxgears F8
await 'Vorna stopped capturing' 10 || { cat "$log" >&2; die "the recording did not stop"; }
kill "$gears" 2>/dev/null || true
wait "$gears" 2>/dev/null || true
gears=

echo
echo "Vorna's log lines:"
grep -F ' ]: Vorna ' "$log" | sed 's/^/  /'
echo

file=$(sed -n 's/.*Vorna is recording .* to \(.*\)$/\1/p' "$log" | tail -n1)
[ -n "$file" ] && [ -s "$file" ] || die "no recording appeared in $demo (see the log lines above)"

bytes=$(stat -c %s "$file")
probe=$(ffprobe -v error -select_streams v:0 -count_frames \
  -show_entries stream=codec_name,width,height,nb_read_frames:format=duration,format_long_name \
  -of default=noprint_wrappers=1 "$file") || die "$file is not readable by ffprobe"
field() { sed -n "s/^$1=//p" <<<"$probe" | head -n1; }

echo "Recording: $file"
printf '  size:     %s bytes (%s)\n' "$bytes" "$(numfmt --to=iec --suffix=B "$bytes")"
printf '  video:    %s, %sx%s, %s\n' "$(field codec_name)" "$(field width)" "$(field height)" "$(field format_long_name)"
printf '  frames:   %s\n' "$(field nb_read_frames)"
LC_NUMERIC=C printf '  duration: %.2f s\n' "$(field duration)"
echo "Play it with: ffplay '$file'  (or any video player)"
