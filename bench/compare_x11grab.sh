#!/usr/bin/env bash
# compare_x11grab.sh: how much of its speed glxgears keeps while Vorna records it, against
# ffmpeg's x11grab recording the same screen with libx264. Run by hand on a quiet machine:
#
#   bench/compare_x11grab.sh [--build DIR] [--seconds S] [--rounds N] [--quick] [--sizes "WxH ..."]
#
# For each size it starts one Xvfb of exactly that size, lets glxgears run on it for a while
# uncounted (a fresh server and driver run slower at first), then runs rounds of four phases, one
# after the other: glxgears alone, glxgears recorded by Vorna (vorna run, F8 pressed through
# XTEST, FPS 30, default output settings into a temporary directory), glxgears recorded by
# `ffmpeg -f x11grab -framerate 30 ... -c:v libx264 -preset ultrafast -crf 23`, and glxgears
# alone again. Every other round runs x11grab before Vorna, so that a machine that drifts
# favours neither. glxgears prints "N frames in 5.0 seconds" every five seconds; a phase's frame
# rate is the median of the windows that lie wholly inside it (after a one-second settling
# margin), over all rounds. Default: 2 rounds of 60 s phases; --quick: 16 s phases.
# Needs: Xvfb, glxgears (mesa-utils), ffmpeg and ffprobe, and a build with bin/vorna and
# bin/vorna-xkey (default: ./build).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build"
seconds=60
rounds=2
sizes="1280x720 1920x1080"
warmup=4
margin=1

while (($#)); do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --quick) seconds=16; shift ;;
    --rounds) rounds=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    *) echo "compare_x11grab.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done

vorna="$build/bin/vorna"
xkey="$build/bin/vorna-xkey"
for tool in "$vorna" "$xkey"; do
  [ -x "$tool" ] || { echo "compare_x11grab.sh: $tool is missing; build first or pass --build" >&2; exit 1; }
done
for tool in Xvfb glxgears ffmpeg ffprobe; do
  command -v "$tool" >/dev/null || { echo "compare_x11grab.sh: $tool is not installed" >&2; exit 1; }
done

tmp=$(mktemp -d /tmp/compare-x11grab-XXXXXX)
xpid=""
gears=""
grab=""
cleanup() {
  for pid in $grab $gears $xpid; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# Every phase runs with the same environment: software GL, no wait for a vertical blank, and a
# HOME whose Vorna configuration writes into the temporary directory at 30 frames a second.
mkdir -p "$tmp/home/.vorna" "$tmp/out"
printf 'OUTPUT = file://%s/out/\nFPS = 30\n' "$tmp" >"$tmp/home/.vorna/conf"
export HOME="$tmp/home" LIBGL_ALWAYS_SOFTWARE=1 vblank_mode=0
unset VORNA

now() { printf '%s\n' "$EPOCHREALTIME"; }

start_x() {  # WxH
  rm -f "$tmp/display"
  Xvfb -displayfd 3 -screen 0 "${1}x24" -nolisten tcp -noreset 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 &
  xpid=$!
  for _ in $(seq 200); do
    [ -s "$tmp/display" ] && break
    sleep 0.05
  done
  [ -s "$tmp/display" ] || { echo "compare_x11grab.sh: Xvfb did not start" >&2; cat "$tmp/xvfb.log" >&2; exit 1; }
  export DISPLAY=":$(head -n1 "$tmp/display")"
}

stop_x() {
  kill "$xpid" 2>/dev/null || true
  wait "$xpid" 2>/dev/null || true
  xpid=""
}

# start_gears LOG WxH [launcher...]: glxgears at 0,0 filling the screen; each line of its output
# goes to LOG behind the time it arrived.
start_gears() {
  local log=$1 size=$2
  shift 2
  : >"$log"
  "$@" glxgears -geometry "${size}+0+0" \
    > >(while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >>"$log") \
    2>"$log.stderr" &
  gears=$!
}

stop_gears() {
  kill "$gears" 2>/dev/null || true
  wait "$gears" 2>/dev/null || true
  gears=""
  sleep 0.2  # the time stamper drains the pipe
}

# windows LOG FROM TO NAME: adds the frame rate of every window wholly inside [FROM, TO] to
# NAME's list, one a line.
windows() {
  awk -v from="$2" -v to="$3" '
    $3 == "frames" && $4 == "in" {
      end = $1; len = $5
      if (end - len >= from && end <= to) printf "%.3f\n", $2 / len
    }' "$1" >>"$tmp/$4.windows"
}

# probe FILE: frames, duration (s) and size (bytes) of a recording, as ffprobe reads it.
probe() {
  local frames duration
  frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1" | head -n1)
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$1" | head -n1)
  printf '%s %s %s\n' "${frames:-0}" "${duration:-0}" "$(stat -c %s "$1")"
}

since() {  # T: T plus the settling margin
  awk -v t="$1" -v m="$margin" 'BEGIN { printf "%.6f", t + m }'
}

phase_alone() {  # NAME SIZE
  local log="$tmp/$1.log" t0 t1
  start_gears "$log" "$2"
  sleep "$warmup"
  t0=$(now)
  sleep "$seconds"
  t1=$(now)
  stop_gears
  windows "$log" "$(since "$t0")" "$t1" "$1"
}

phase_vorna() {  # SIZE
  local log="$tmp/vorna.log" t0 t1 file
  rm -f "$tmp"/out/*
  start_gears "$log" "$1" "$vorna" run --
  sleep "$warmup"
  "$xkey" --window-name glxgears F8
  t0=$(now)
  sleep "$seconds"
  t1=$(now)
  "$xkey" --window-name glxgears F8
  # The client finishes the file when the second press reaches it, before the next frame.
  for _ in $(seq 100); do
    grep -q 'dropped' "$log.stderr" && break
    sleep 0.1
  done
  stop_gears
  windows "$log" "$(since "$t0")" "$t1" vorna
  file=$(ls "$tmp"/out/* 2>/dev/null | head -n1 || true)
  if [ -z "$file" ]; then
    echo "compare_x11grab.sh: Vorna wrote no file; its messages:" >&2
    cat "$log.stderr" >&2
    return
  fi
  echo "$(probe "$file") $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')" >>"$tmp/vorna.files"
  grep -hE 'dropped|idle CPU' "$log.stderr" >>"$tmp/vorna.messages" || true
}

phase_x11grab() {  # SIZE
  local log="$tmp/x11grab.log" t0 t1 file="$tmp/x11grab.mkv"
  rm -f "$file"
  start_gears "$log" "$1"
  sleep "$warmup"
  t0=$(now)
  ffmpeg -nostdin -hide_banner -loglevel error -f x11grab -framerate 30 -video_size "$1" \
    -i "$DISPLAY" -c:v libx264 -preset ultrafast -crf 23 "$file" &
  grab=$!
  sleep "$seconds"
  t1=$(now)
  # ffmpeg ends a recording on SIGINT and finishes the file.
  kill -INT "$grab"
  wait "$grab" || true
  grab=""
  stop_gears
  windows "$log" "$(since "$t0")" "$t1" x11grab
  echo "$(probe "$file") $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')" >>"$tmp/x11grab.files"
}

# median NAME: the median of NAME's windows and how many there are.
median() {
  sort -n "$tmp/$1.windows" 2>/dev/null | awk '
    { v[n++] = $1 }
    END {
      if (n == 0) { print "nan 0"; exit }
      m = (n % 2) ? v[int(n / 2)] : (v[n / 2 - 1] + v[n / 2]) / 2
      printf "%.1f %d\n", m, n
    }'
}

report() {  # SIZE
  local p
  for p in alone vorna x11grab alone-again; do
    echo "$p $(median "$p") $(awk '{ f += $1; d += $2; b += $3; w += $4 } END { printf "%d %.3f %d %.3f", f, d, b, w }' "$tmp/$p.files" 2>/dev/null || echo "0 0 0 0")"
  done | awk -v size="$1" -v seconds="$seconds" -v rounds="$rounds" '
    { fps[$1] = $2; win[$1] = $3; fr[$1] = $4; dur[$1] = $5; bytes[$1] = $6; wall[$1] = $7 }
    END {
      alone = (fps["alone"] + fps["alone-again"]) / 2
      printf "\n%s, %d rounds of %d s phases, glxgears frame rate = median of its 5 s windows\n", size, rounds, seconds
      printf "%-12s %9s %8s %9s %10s %9s %11s\n", "phase", "gears fps", "windows", "of alone", "frames", "expected", "bytes/s"
      split("alone vorna x11grab alone-again", order, " ")
      for (i = 1; i <= 4; i++) {
        p = order[i]
        if (p == "vorna" || p == "x11grab") {
          rateb = dur[p] > 0 ? bytes[p] / dur[p] : 0
          printf "%-12s %9.1f %8d %8.0f%% %10d %9.0f %11.0f\n", p, fps[p], win[p], 100 * fps[p] / alone, fr[p], 30 * wall[p], rateb
        } else {
          printf "%-12s %9.1f %8d %8.0f%% %10s %9s %11s\n", p, fps[p], win[p], 100 * fps[p] / alone, "-", "-", "-"
        }
      }
      bv = dur["vorna"] > 0 ? bytes["vorna"] / dur["vorna"] : 0
      bx = dur["x11grab"] > 0 ? bytes["x11grab"] / dur["x11grab"] : 0
      # (In awk a bare ">" among print arguments would redirect the output into a file.)
      printf "Vorna / x11grab: frame rate left to glxgears %.2fx, bytes per second %.2fx\n", fps["vorna"] / fps["x11grab"], (bx > 0 ? bv / bx : 0)
    }'
  if [ -f "$tmp/vorna.messages" ]; then
    sed 's/^/Vorna: /' "$tmp/vorna.messages"
  fi
}

echo "compare_x11grab.sh: $(nproc) cores, $(uptime | sed 's/.*load/load/')"
for size in $sizes; do
  echo "compare_x11grab.sh: $size: $rounds rounds of four phases of ${seconds} s..." >&2
  start_x "$size"
  rm -f "$tmp"/*.windows "$tmp"/*.files "$tmp/vorna.messages"
  # Uncounted: a fresh X server and driver draw slower for their first seconds.
  start_gears "$tmp/settle.log" "$size"
  sleep $((warmup + seconds / 2))
  stop_gears
  for round in $(seq "$rounds"); do
    phase_alone alone "$size"
    if ((round % 2)); then
      phase_vorna "$size"
      phase_x11grab "$size"
    else
      phase_x11grab "$size"
      phase_vorna "$size"
    fi
    phase_alone alone-again "$size"
  done
  stop_x
  report "$size"
done
