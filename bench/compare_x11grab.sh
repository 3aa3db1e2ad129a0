#!/usr/bin/env bash
# compare_x11grab.sh: how much of its speed glxgears keeps while Vorna records it, against
# ffmpeg's x11grab recording the same screen with libx264. Run by hand on a quiet machine:
#
#   bench/compare_x11grab.sh [--build DIR] [--seconds S] [--quick] [--sizes "WxH ..."]
#
# For each size it starts one Xvfb of exactly that size and runs four phases on it, one after the
# other: glxgears alone, glxgears recorded by Vorna (vorna run, F8 pressed through XTEST, FPS 30,
# default output settings into a temporary directory), glxgears recorded by
# `ffmpeg -f x11grab -framerate 30 ... -c:v libx264 -preset ultrafast -crf 23`, and glxgears alone
# again. glxgears prints "N frames in 5.0 seconds" every five seconds; a phase's frame rate is the
# median of the windows that lie wholly inside it (after a one-second settling margin).
# Needs: Xvfb, glxgears (mesa-utils), ffmpeg and ffprobe, and a build with bin/vorna and
# bin/vorna-xkey (default: ./build).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build"
seconds=60
sizes="1280x720 1920x1080"
warmup=4
margin=1

while (($#)); do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --quick) seconds=16; shift ;;
    --sizes) sizes=$2; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
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

# rate LOG FROM TO: median frame rate and the number of windows wholly inside [FROM, TO].
rate() {
  awk -v from="$2" -v to="$3" '
    $3 == "frames" && $4 == "in" {
      end = $1; len = $5; fps = $2 / len
      if (end - len >= from && end <= to) v[n++] = fps
    }
    END {
      if (n == 0) { print "nan 0"; exit }
      for (i = 0; i < n; i++) for (j = i + 1; j < n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      m = (n % 2) ? v[int(n / 2)] : (v[n / 2 - 1] + v[n / 2]) / 2
      printf "%.1f %d\n", m, n
    }' "$1"
}

# probe FILE: frames, duration (s) and size (bytes) of a recording, as ffprobe reads it.
probe() {
  local frames duration
  frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1" | head -n1)
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$1" | head -n1)
  printf '%s %s %s\n' "${frames:-0}" "${duration:-0}" "$(stat -c %s "$1")"
}

phase_alone() {  # NAME SIZE
  local log="$tmp/$1.log" t0 t1
  start_gears "$log" "$2"
  sleep "$warmup"
  t0=$(now)
  sleep "$seconds"
  t1=$(now)
  stop_gears
  echo "$(rate "$log" "$(awk -v t="$t0" -v m="$margin" 'BEGIN { printf "%.6f", t + m }')" "$t1") - - -" >"$tmp/$1.result"
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
  file=$(ls "$tmp"/out/* 2>/dev/null | head -n1 || true)
  if [ -z "$file" ]; then
    echo "compare_x11grab.sh: Vorna wrote no file; its messages:" >&2
    cat "$log.stderr" >&2
    echo "nan 0 0 0 0 0" >"$tmp/vorna.result"
    return
  fi
  echo "$(rate "$log" "$(awk -v t="$t0" -v m="$margin" 'BEGIN { printf "%.6f", t + m }')" "$t1") $(probe "$file") $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')" >"$tmp/vorna.result"
  cp "$log.stderr" "$tmp/vorna.messages"
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
  echo "$(rate "$log" "$(awk -v t="$t0" -v m="$margin" 'BEGIN { printf "%.6f", t + m }')" "$t1") $(probe "$file") $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')" >"$tmp/x11grab.result"
}

report() {  # SIZE
  awk -v size="$1" -v seconds="$seconds" '
    FNR == 1 { name = FILENAME; sub(/.*\//, "", name); sub(/\.result$/, "", name) }
    { fps[name] = $1; win[name] = $2; fr[name] = $3; dur[name] = $4; bytes[name] = $5; wall[name] = $6 }
    END {
      alone = (fps["alone"] + fps["alone-again"]) / 2
      printf "\n%s, %d s a phase, glxgears frame rate = median of its 5 s windows\n", size, seconds
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
    }' "$tmp/alone.result" "$tmp/vorna.result" "$tmp/x11grab.result" "$tmp/alone-again.result"
  if [ -f "$tmp/vorna.messages" ]; then
    grep -h 'dropped' "$tmp/vorna.messages" | sed 's/^/Vorna: /' || true
  fi
}

echo "compare_x11grab.sh: $(nproc) cores, $(uptime | sed 's/.*load/load/')"
for size in $sizes; do
  echo "compare_x11grab.sh: $size: four phases of ${seconds} s..." >&2
  start_x "$size"
  rm -f "$tmp"/*.result "$tmp/vorna.messages"
  phase_alone alone "$size"
  phase_vorna "$size"
  phase_x11grab "$size"
  phase_alone alone-again "$size"
  stop_x
  report "$size"
done
