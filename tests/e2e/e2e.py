#!/usr/bin/env python3
"""End-to-end recordings: real programs run through `vorna run` on the Xvfb that with-xvfb.sh
started, the hotkey typed through XTEST by vorna-xkey, the files judged by ffprobe and ffmpeg.

    e2e.py --build BUILD_DIR --case NAME     run one case (ctest runs each on its own Xvfb)
    e2e.py --list                            print the case names

Each case gets a fresh HOME whose .vorna/conf points OUTPUT at a directory of its own, so the
recordings of cases running side by side never meet. A failing case keeps that directory and
says where it is.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

# How long the recordings of most cases last, and how far a file may stray from the clock on a
# loaded two-core machine.
RECORD_SECONDS = 3.0
DURATION_SLACK = 0.5
FRAME_RATE_SLACK = 0.20
FPS = 30.0

LOG_LINE = re.compile(r"^\[ \d{4}/\d\d/\d\d \d\d:\d\d:\d\d \| (PANIC|ERROR|WARN |INFO |DEBUG) \]: (.*)$")
STARTING = "Vorna is starting to capture"
STOPPED = "Vorna stopped capturing"
SUMMARY = "Active configuration"
RECORDING = re.compile(r"Vorna is recording (\d+)x(\d+)(?:, scaled to \d+x\d+)? at ([\d.]+) fps to (.+)$")
WROTE = re.compile(r"Vorna wrote (\d+) frames \((\d+) dropped\), ([\d.]+) s, to (.+)$")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# ---------------------------------------------------------------------------------------------
# The test picture of tests/programs/testgl.cpp, in window coordinates (origin top left).

BAND = 48
MARKER = 24
WHITE, BLACK, GREY, CYAN = (255, 255, 255), (0, 0, 0), (128, 128, 128), (0, 255, 255)
RED, GREEN, BLUE, YELLOW, MAGENTA = (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0), (255, 0, 255)


def picture(w, h):
    """(name, x0, y0, x1, y1, colour) for each part; later parts are drawn over earlier ones."""
    mx = BAND + (w - 2 * BAND) // 2
    my = BAND + (h - 2 * BAND) // 2
    return [
        ("top band", 0, 0, w, BAND, WHITE),
        ("bottom band", 0, h - BAND, w, h, BLACK),
        ("left band", 0, BAND, BAND, h - BAND, GREY),
        ("right band", w - BAND, BAND, w, h - BAND, CYAN),
        ("top-left quadrant", BAND, BAND, mx, my, RED),
        ("top-right quadrant", mx, BAND, w - BAND, my, GREEN),
        ("bottom-left quadrant", BAND, my, mx, h - BAND, BLUE),
        ("bottom-right quadrant", mx, my, w - BAND, h - BAND, YELLOW),
        ("corner marker", BAND, BAND, BAND + MARKER, BAND + MARKER, MAGENTA),
    ]


def probe_points(w, h, insets):
    """Points of the recorded frame with the colour they must have, given the window size and
    INSETS (top, right, bottom, left). Each visible piece of each part is probed at its centre
    and a few pixels inside each of its corners, so a frame that is flipped, mirrored, shifted
    or cut at the wrong side puts some probe on the wrong colour."""
    top, right, bottom, left = insets
    vx0, vy0, vx1, vy1 = left, top, w - right, h - bottom
    parts = picture(w, h)
    inside = 4  # chroma is shared by 2x2 pixels and blurs an edge by a pixel or two

    def colour_at(x, y):
        found = None
        for part in parts:
            if part[1] <= x < part[3] and part[2] <= y < part[4]:
                found = part
        return found

    points = []
    for name, x0, y0, x1, y1, _ in parts:
        x0, y0, x1, y1 = max(x0, vx0), max(y0, vy0), min(x1, vx1), min(y1, vy1)
        if x1 - x0 < 2 * inside + 1 or y1 - y0 < 2 * inside + 1:
            continue
        for x, y in [((x0 + x1) // 2, (y0 + y1) // 2), (x0 + inside, y0 + inside),
                     (x1 - 1 - inside, y0 + inside), (x0 + inside, y1 - 1 - inside),
                     (x1 - 1 - inside, y1 - 1 - inside)]:
            part = colour_at(x, y)
            points.append((x - vx0, y - vy0, part[5], "%s at window (%d,%d)" % (part[0], x, y)))
    return points


# ---------------------------------------------------------------------------------------------
# Judging a file with ffprobe and ffmpeg.

def run_tool(argv, timeout=60):
    p = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    return p.returncode, p.stdout, p.stderr.decode(errors="replace")


def probe(path):
    rc, out, err = run_tool(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                             "-show_entries",
                             "stream=codec_name,width,height,pix_fmt,nb_read_frames:"
                             "format=format_name,duration",
                             "-of", "json", path])
    check(rc == 0, "ffprobe cannot read %s: %s" % (path, err.strip()))
    info = json.loads(out)
    check(info.get("streams"), "%s holds no video stream" % path)
    return info


def last_packet_time(path):
    rc, out, err = run_tool(["ffprobe", "-v", "error", "-select_streams", "v:0",
                             "-show_entries", "packet=pts_time", "-of", "csv=p=0", path])
    check(rc == 0, "ffprobe cannot list the packets of %s: %s" % (path, err.strip()))
    times = [float(t) for t in out.decode().split() if t not in ("", "N/A")]
    check(times, "%s holds no packet" % path)
    return max(times) - min(times)


def decode_frames(path, w, h, allow_errors=False):
    # One picture per stored frame: passthrough repeats none to even out the frame times, and
    # the file's own time base keeps two frames a millisecond apart from sharing a tick.
    rc, out, err = run_tool(["ffmpeg", "-v", "error", "-nostdin", "-i", path,
                             "-fps_mode", "passthrough", "-enc_time_base", "-1",
                             "-f", "rawvideo", "-pix_fmt", "rgb24", "-"])
    check(rc == 0, "ffmpeg cannot decode %s: %s" % (path, err.strip()))
    if not allow_errors:
        check(err.strip() == "", "ffmpeg reports errors decoding %s: %s" % (path, err.strip()))
    size = w * h * 3
    check(len(out) >= size and len(out) % size == 0,
          "%s decodes to %d bytes, not whole %dx%d frames" % (path, len(out), w, h))
    return [out[i:i + size] for i in range(0, len(out), size)]


def pixel(frame, w, x, y):
    i = (y * w + x) * 3
    return tuple(frame[i:i + 3])


def check_picture(path, frames, w, h, win_w, win_h, insets):
    points = probe_points(win_w, win_h, insets)
    for n, frame in enumerate(frames):
        for x, y, want, what in points:
            got = pixel(frame, w, x, y)
            check(all(abs(a - b) <= 60 for a, b in zip(got, want)),
                  "%s frame %d of %d: pixel (%d,%d), the %s, is %s, should be %s"
                  % (path, n, len(frames), x, y, what, got, want))


def check_gears(path, frames, w, h):
    """glxgears draws red, green and blue gears on black."""
    for n in (0, len(frames) // 2, len(frames) - 1):
        frame = frames[n]
        corner = pixel(frame, w, 2, 2)
        check(max(corner) < 40, "%s frame %d: the corner is %s, not the black background"
              % (path, n, corner))
        reds = sum(1 for i in range(0, len(frame), 3 * 7)
                   if frame[i] > 150 and frame[i + 1] < 60 and frame[i + 2] < 60)
        check(reds > 50, "%s frame %d shows no red gear" % (path, n))


def check_recording(path, size, seconds=None, killed=False, picture_of=None, insets=(0, 0, 0, 0),
                    gears=False, fps=FPS):
    """A playable H.264 file of the given size whose length matches `seconds` (the wall-clock
    time it covered) and whose frame rate is `fps`; for a killed program the file may end up to a
    second before the kill."""
    check(os.path.isfile(path), "no recording at %s" % path)
    info = probe(path)
    stream, fmt = info["streams"][0], info.get("format", {})
    w, h = size
    check("matroska" in fmt.get("format_name", ""), "%s is not Matroska: %s" % (path, fmt))
    check(stream.get("codec_name") == "h264", "%s is not H.264: %s" % (path, stream))
    check(stream.get("pix_fmt") == "yuv420p", "%s is not yuv420p: %s" % (path, stream))
    check((stream.get("width"), stream.get("height")) == (w, h),
          "%s is %sx%s, should be %dx%d" % (path, stream.get("width"), stream.get("height"), w, h))
    frames = int(stream.get("nb_read_frames", 0))
    check(frames > 0, "%s holds no frame" % path)

    if killed:
        length = last_packet_time(path)
    else:
        check("duration" in fmt, "%s has no duration: it was not finished" % path)
        length = float(fmt["duration"])
    if seconds is not None:
        low = seconds - DURATION_SLACK - (1.0 if killed else 0.0)
        check(low <= length <= seconds + DURATION_SLACK,
              "%s lasts %.2f s, the recording took %.2f s" % (path, length, seconds))
        want = length * fps
        check(abs(frames - want) <= FRAME_RATE_SLACK * want,
              "%s holds %d frames over %.2f s, should be about %.0f at %g fps"
              % (path, frames, length, want, fps))

    decoded = decode_frames(path, w, h, allow_errors=killed)
    if not killed:
        check(len(decoded) == frames, "%s decodes to %d frames, ffprobe counted %d"
              % (path, len(decoded), frames))
    if picture_of:
        check_picture(path, decoded, w, h, picture_of[0], picture_of[1], insets)
    if gears:
        check_gears(path, decoded, w, h)
    return frames, length


# ---------------------------------------------------------------------------------------------
# Running a program through `vorna run`.

class Case:
    def __init__(self, build):
        self.build = build
        self.vorna = os.path.join(build, "bin", "vorna")
        self.xkey = os.path.join(build, "bin", "vorna-xkey")
        self.root = tempfile.mkdtemp(prefix="vorna-e2e-")
        self.home = os.path.join(self.root, "home")
        self.out = os.path.join(self.root, "out")
        os.makedirs(os.path.join(self.home, ".vorna", "programs"))
        os.makedirs(self.out)
        self.programs = []

    def program_path(self, name):
        return os.path.join(self.build, "tests", name)

    def out_url(self):
        return "file://" + urllib.parse.quote(self.out) + "/"

    def write_conf(self, content, name="conf"):
        path = os.path.join(self.home, ".vorna", name)
        with open(path, "wb") as f:
            f.write(content if isinstance(content, bytes) else content.encode())

    def default_conf(self, extra=""):
        self.write_conf("OUTPUT = %s\nFPS = %g\n%s" % (self.out_url(), FPS, extra))

    def start(self, argv, window_name=None, env=None, run_options=()):
        p = Program(self, argv, window_name, env or {}, list(run_options))
        self.programs.append(p)
        return p

    def recordings(self):
        return sorted(os.listdir(self.out))

    def close(self, ok):
        for p in self.programs:
            p.kill()
        if ok:
            shutil.rmtree(self.root, ignore_errors=True)
        else:
            print("kept the case's files in %s" % self.root)
            for p in self.programs:
                print("--- %s stdout:\n%s--- stderr:\n%s" % (" ".join(p.argv), p.text("out"),
                                                             p.text("err")))


class Program:
    def __init__(self, case, argv, window_name, extra_env, run_options):
        self.case = case
        self.argv = argv
        self.window_name = window_name
        self.last_report = None  # (frames, seconds) of the last "Vorna wrote" line
        env = dict(os.environ, HOME=case.home, **extra_env)
        env.pop("VORNA", None)
        self.proc = subprocess.Popen([case.vorna, "run"] + run_options + ["--"] + argv, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.lines = {"out": [], "err": []}
        self.cond = threading.Condition()
        self.readers = [threading.Thread(target=self._read, args=(self.proc.stdout, "out")),
                        threading.Thread(target=self._read, args=(self.proc.stderr, "err"))]
        for t in self.readers:
            t.daemon = True
            t.start()

    def _read(self, stream, which):
        for raw in iter(stream.readline, b""):
            with self.cond:
                self.lines[which].append((time.monotonic(), raw.decode(errors="replace").rstrip("\n")))
                self.cond.notify_all()
        with self.cond:
            self.lines[which].append((time.monotonic(), None))
            self.cond.notify_all()

    def text(self, which):
        with self.cond:
            return "".join(l + "\n" for _, l in self.lines[which] if l is not None)

    def vorna_lines(self):
        """(level, message) of every log line on stderr."""
        found = []
        for line in self.text("err").splitlines():
            m = LOG_LINE.match(line)
            if m:
                found.append((m.group(1).strip(), m.group(2)))
        return found

    def wait_for(self, which, pattern, timeout=20.0, after=0):
        """Waits for the first line from index `after` on that matches; returns (index, match)."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                lines = self.lines[which]
                for i in range(after, len(lines)):
                    line = lines[i][1]
                    if line is None:
                        raise Failure("%s ended before printing /%s/" % (self.argv[0], pattern))
                    m = regex.search(line)
                    if m:
                        return i, m
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Failure("%s printed no /%s/ within %g s" % (self.argv[0], pattern, timeout))
                self.cond.wait(left)

    def count(self, which):
        with self.cond:
            return len(self.lines[which])

    def wait_ready(self, draws=True):
        """Ready once its window is up and, for a drawing program, the first frame has loaded
        the core (it loads at the first swap, and key presses before that pass by)."""
        if draws:
            self.wait_for("err", SUMMARY)
        if self.window_name is None:
            self.wait_for("out", r": ready window ")

    def press(self, *keys):
        """Types the keys into the program's window; returns the time the last one was sent."""
        target = (["--window-name", self.window_name] if self.window_name
                  else ["--window-pid", str(self.proc.pid)])
        rc, _, err = run_tool([self.case.xkey, "--delay-ms", "0", "--timeout-ms", "10000"]
                              + target + list(keys))
        check(rc == 0, "vorna-xkey %s failed: %s" % (" ".join(keys), err.strip()))
        return time.monotonic()

    def start_recording(self):
        """Presses the hotkey and waits for the recording to begin; returns (time, path, size)."""
        mark = self.count("err")
        t = self.press("F8")
        self.wait_for("err", STARTING, after=mark)
        _, m = self.wait_for("err", RECORDING.pattern, after=mark)
        return t, m.group(4), (int(m.group(1)), int(m.group(2)))

    def stop_recording(self):
        """Presses the hotkey and waits for the file to be finished; returns (time, path)."""
        mark = self.count("err")
        t = self.press("F8")
        self.wait_for("err", STOPPED, after=mark)
        _, m = self.wait_for("err", WROTE.pattern, after=mark)
        self.last_report = (int(m.group(1)), float(m.group(3)))
        return t, m.group(4)

    def record(self, seconds=RECORD_SECONDS):
        t0, path, size = self.start_recording()
        time.sleep(max(0.0, t0 + seconds - time.monotonic()))
        t1, written = self.stop_recording()
        check(written == path, "recording announced %s but wrote %s" % (path, written))
        return path, size, t1 - t0

    def wait(self, timeout=20.0):
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not exit within %g s" % (self.argv[0], timeout))
        for t in self.readers:
            t.join(5)
        return rc

    def quit(self, key="Escape"):
        self.press(key)
        rc = self.wait()
        check(rc == 0, "%s exited with status %d" % (self.argv[0], rc))

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def check_no_errors(p):
    bad = [(lvl, msg) for lvl, msg in p.vorna_lines() if lvl in ("PANIC", "ERROR", "WARN")]
    check(not bad, "unexpected log lines: %s" % bad)


# ---------------------------------------------------------------------------------------------
# The cases.

TESTGL_SIZE = (320, 240)

# name -> (argv, window name for vorna-xkey or None to find it by pid, the picture to expect)
FORMS = {
    "linked-nextevent": (["vorna-testgl", "--events", "next"], None, "testgl"),
    "linked-checkwindowevent": (["vorna-testgl", "--events", "checkwindow"], None, "testgl"),
    "getprocaddress": (["vorna-testgl", "--load", "getproc"], None, "testgl"),
    "dlopen": (["vorna-testgl-dlopen"], None, "testgl"),
    "clashing-symbols": (["vorna-testgl-clash"], None, "testgl"),
    # Swaps a GLXWindow id, which XGetGeometry does not take for a drawable.
    "glxwindow": (["vorna-testgl", "--glxwindow"], None, "testgl"),
    "glxwindow-getprocaddress": (["vorna-testgl", "--load", "getproc", "--glxwindow"], None,
                                 "testgl"),
    "glxgears": (["glxgears"], "glxgears", "gears"),
}


def resolve(case, argv):
    return [case.program_path(argv[0]) if argv[0].startswith("vorna-") else argv[0]] + argv[1:]


def record_form(case, form):
    argv, window, kind = FORMS[form]
    case.default_conf()
    p = case.start(resolve(case, argv), window)
    p.wait_ready()
    path, size, seconds = p.record()
    p.quit()
    expected = TESTGL_SIZE if kind == "testgl" else (300, 300)
    check(size == expected, "recording announced %dx%d, the window is %dx%d" % (size + expected))
    frames, length = check_recording(path, size, seconds,
                                     picture_of=TESTGL_SIZE if kind == "testgl" else None,
                                     gears=kind == "gears")
    # What the user is told must be what the file holds.
    told_frames, told_seconds = p.last_report
    check(told_frames == frames and abs(told_seconds - length) <= 0.1,
          "Vorna reported %d frames and %.2f s, the file holds %d frames and %.2f s"
          % (told_frames, told_seconds, frames, length))
    check_no_errors(p)
    check("own " not in p.text("err"), "the client bound to the program's symbols:\n" + p.text("err"))
    check(case.recordings() == [os.path.basename(path)],
          "the output directory holds %s" % case.recordings())


def case_insets(case):
    # top 10, right 20, bottom 30, left 40: every band keeps a different width.
    case.default_conf("INSETS = 10 20 30 40\n")
    p = case.start([case.program_path("vorna-testgl"), "--size", "400x300"])
    p.wait_ready()
    path, size, seconds = p.record()
    p.quit()
    check(size == (340, 260), "recording announced %dx%d, not 340x260" % size)
    check_recording(path, size, seconds, picture_of=(400, 300), insets=(10, 20, 30, 40))
    check_no_errors(p)


def case_two_windows(case):
    # Both windows swap every frame, the second one with the colours inverted; the recording
    # keeps to the first window, whose swap is the first after the press.
    case.default_conf()
    p = case.start([case.program_path("vorna-testgl"), "--second-window"])
    p.wait_ready()
    path, size, seconds = p.record()
    p.quit()
    check_recording(path, size, seconds, picture_of=TESTGL_SIZE)
    check_no_errors(p)


def case_window_made_anew(case, extra=()):
    # The program destroys its window in the middle of the recording and opens another in its
    # place, as programs do to change the video mode: the recording goes on with the new window,
    # with no gap (a gap would show as too few frames for the length).
    case.default_conf()
    p = case.start([case.program_path("vorna-testgl"), "--recreate-key", "r"] + list(extra))
    p.wait_ready()
    t0, path, size = p.start_recording()
    time.sleep(RECORD_SECONDS / 2)
    mark = p.count("out")
    p.press("r")
    p.wait_for("out", r": new window ", after=mark)
    time.sleep(RECORD_SECONDS / 2)
    t1, written = p.stop_recording()
    p.quit()
    check(written == path, "recording announced %s but wrote %s" % (path, written))
    check_recording(path, size, t1 - t0, picture_of=TESTGL_SIZE)
    check_no_errors(p)


def case_sigkill(case):
    case.default_conf()
    p = case.start([case.program_path("vorna-testgl")])
    p.wait_ready()
    t0, path, size = p.start_recording()
    time.sleep(RECORD_SECONDS)
    p.proc.send_signal(signal.SIGKILL)
    killed_at = time.monotonic()
    rc = p.wait()
    check(rc == -signal.SIGKILL, "the program ended with %d, not by SIGKILL" % rc)
    check_recording(path, size, killed_at - t0, killed=True, picture_of=TESTGL_SIZE)


def case_exit_while_recording(case):
    case.default_conf()
    p = case.start([case.program_path("vorna-testgl"), "--seconds", "4"])
    p.wait_ready()
    t0, path, size = p.start_recording()
    rc = p.wait()
    check(rc == 0, "the program exited with status %d" % rc)
    _, m = p.wait_for("out", r"(\d+) frames in ([\d.]+) s, time is up")
    ready_at = p.lines["out"][p.wait_for("out", r": ready window ")[0]][0]
    loop_end = ready_at + float(m.group(2))
    check(STOPPED not in p.text("err"), "the core stopped the recording without a hotkey press")
    _, wrote = p.wait_for("err", WROTE.pattern)
    check(wrote.group(4) == path, "finished %s, recorded to %s" % (wrote.group(4), path))
    check_recording(path, size, loop_end - t0, picture_of=TESTGL_SIZE)
    check_no_errors(p)


def record_from_first_frame(case, stop_by_hotkey):
    # `vorna run --record` starts at the first frame without a key press; the recording ends at
    # the hotkey or, for programs whose keys never reach Xlib, at the program's exit.
    case.default_conf()
    p = case.start([case.program_path("vorna-testgl"), "--seconds", "3"], run_options=["--record"])
    p.wait_ready()
    ready_at = p.lines["out"][p.wait_for("out", r": ready window ")[0]][0]
    _, m = p.wait_for("err", RECORDING.pattern)
    path, size = m.group(4), (int(m.group(1)), int(m.group(2)))
    if stop_by_hotkey:
        time.sleep(2.0)
        t1, written = p.stop_recording()
        check(written == path, "recording announced %s but wrote %s" % (path, written))
        end = t1
    rc = p.wait()
    check(rc == 0, "the program exited with status %d" % rc)
    if not stop_by_hotkey:
        _, ran = p.wait_for("out", r"frames in ([\d.]+) s, time is up")
        end = ready_at + float(ran.group(1))
        p.wait_for("err", WROTE.pattern)
    check(sum(msg.startswith(STARTING) for _, msg in p.vorna_lines()) == 1,
          "not exactly one start:\n" + p.text("err"))
    check_recording(path, size, end - ready_at, picture_of=TESTGL_SIZE)
    check_no_errors(p)


def case_fixed_name_twice(case):
    # A fixed name in a directory that does not exist yet, with a blank escaped in the URL.
    folder = os.path.join(case.out, "my clips")
    case.write_conf("OUTPUT = file://%s/fixed.mivo\nFPS = %g\n"
                    % (urllib.parse.quote(folder), FPS))
    p = case.start([case.program_path("vorna-testgl")])
    p.wait_ready()
    first = p.record(1.5)
    second = p.record(1.5)
    p.quit()
    want = [os.path.join(folder, "fixed.mivo"), os.path.join(folder, "fixed-2.mivo")]
    check([first[0], second[0]] == want, "recorded to %s and %s, wanted %s"
          % (first[0], second[0], want))
    for path, size, seconds in (first, second):
        check_recording(path, size, seconds, picture_of=TESTGL_SIZE)
    check(sorted(os.listdir(folder)) == ["fixed-2.mivo", "fixed.mivo"],
          "the folder holds %s" % os.listdir(folder))
    check_no_errors(p)


def case_unwritable_output(case):
    # /proc refuses new entries even to root, unlike a read-only mode bit.
    case.write_conf("OUTPUT = file:///proc/vorna-e2e/out.mivo\n")
    p = case.start([case.program_path("vorna-testgl")])
    p.wait_ready()
    mark = p.count("err")
    p.press("F8")
    p.wait_for("err", r"\| ERROR \]: .*/proc/vorna-e2e", after=mark)
    before = p.count("out")
    time.sleep(1.0)
    check(p.proc.poll() is None, "the program ended after the failed start")
    # Still running and drawing: a second press tries again and fails the same way.
    mark = p.count("err")
    p.press("F8")
    p.wait_for("err", r"\| ERROR \]: .*/proc/vorna-e2e", after=mark)
    p.quit()
    _, m = p.wait_for("out", r"(\d+) frames in ([\d.]+) s, quit key", after=before)
    check(int(m.group(1)) > 60, "the program drew only %s frames" % m.group(1))
    check(not any(RECORDING.search(msg) for _, msg in p.vorna_lines()),
          "a recording was announced to an unwritable place")


def case_ten_cycles(case):
    case.default_conf()
    p = case.start([case.program_path("vorna-testgl")])
    p.wait_ready()
    recorded = [p.record(0.4) for _ in range(10)]
    p.quit()
    paths = [r[0] for r in recorded]
    check(len(set(paths)) == 10, "ten recordings went to %d files: %s" % (len(set(paths)), paths))
    check(len(case.recordings()) == 10, "the output directory holds %s" % case.recordings())
    for path, size, _ in recorded:
        check_recording(path, size, picture_of=TESTGL_SIZE)
    check_no_errors(p)


def case_random_config(case):
    # The user's file is noise: long lines, NUL bytes, no line end at the end. The per-program
    # file, read after it, only points OUTPUT at the case's directory.
    noise = random.Random(4).randbytes(64 * 1024)
    case.write_conf(noise)
    case.write_conf("OUTPUT = %s\n" % case.out_url(), os.path.join("programs", "vorna-testgl"))
    p = case.start([case.program_path("vorna-testgl")])
    p.wait_ready()
    summary = p.text("err")
    check("HOTKEY: F8, FPS: 30.0, INSETS: 0/0/0/0" in summary,
          "the defaults do not apply:\n" + summary)
    path, size, seconds = p.record()
    p.quit()
    check_recording(path, size, seconds, picture_of=TESTGL_SIZE)
    check_no_errors(p)


def case_host_locale(case):
    # The program takes its locale from the environment, one that writes 24,5 for 24.5, before
    # Vorna reads its settings at the first frame.
    case.default_conf("FPS = 24.5\n")
    p = case.start([case.program_path("vorna-testgl"), "--setlocale"],
                   env={"LC_ALL": "de_DE.UTF-8"})
    p.wait_ready()
    check("FPS: 24.5," in p.text("err"), "the summary does not show FPS 24.5:\n" + p.text("err"))
    t0, path, size = p.start_recording()
    time.sleep(RECORD_SECONDS)
    t1, _ = p.stop_recording()
    p.quit()
    _, m = p.wait_for("err", RECORDING.pattern)
    check(m.group(3) == "24.5", "the recording was announced at %s fps" % m.group(3))
    check_recording(path, size, t1 - t0, picture_of=TESTGL_SIZE, fps=24.5)
    check_no_errors(p)


def case_never_draws(case):
    case.default_conf()
    p = case.start([case.program_path("vorna-testgl"), "--no-draw"])
    p.wait_ready(draws=False)
    p.press("F8")
    time.sleep(0.5)
    p.press("F8")
    p.quit()
    check(p.text("err") == "", "a program that never draws printed:\n" + p.text("err"))
    check(case.recordings() == [], "recorded %s" % case.recordings())


def child_process(case, child):
    case.default_conf()
    p = case.start([case.program_path("vorna-testgl"), "--spawn-key", "c", "--child", child])
    p.wait_ready()
    t0, path, size = p.start_recording()
    time.sleep(1.0)
    p.press("c")
    p.wait_for("out", r"child exited with status 0")
    time.sleep(max(0.0, t0 + RECORD_SECONDS - time.monotonic()))
    t1, written = p.stop_recording()
    p.quit()
    check(written == path, "recording announced %s but wrote %s" % (path, written))
    check("child\n" in p.text("out"), "the child printed nothing")
    check_recording(path, size, t1 - t0, picture_of=TESTGL_SIZE)
    # One summary at load and one at the capture start: the shell child loads nothing.
    messages = [msg for _, msg in p.vorna_lines()]
    check(sum(m.startswith(SUMMARY) for m in messages) == 2,
          "the summary appears %d times:\n%s" % (sum(m.startswith(SUMMARY) for m in messages),
                                                 p.text("err")))
    check(sum(m.startswith(STARTING) for m in messages) == 1, "more than one capture started")
    check_no_errors(p)


# The judge itself: copies of a good recording, re-encoded through one ffmpeg filter each, and
# whether check_picture must accept them. w x h is the window; insets are what the copy claims.
JUDGE_COPIES = [
    # (name, filter, insets (top, right, bottom, left), accepted)
    ("unchanged", "null", (0, 0, 0, 0), True),
    ("upside down", "vflip", (0, 0, 0, 0), False),
    ("mirrored", "hflip", (0, 0, 0, 0), False),
    ("turned half round", "hflip,vflip", (0, 0, 0, 0), False),
    ("shifted 6 right", "pad=326:240:6:0,crop=320:240:0:0", (0, 0, 0, 0), False),
    ("shifted 6 down", "pad=320:246:0:6,crop=320:240:0:0", (0, 0, 0, 0), False),
    ("cut top 10, left 20", "crop=300:200:20:10", (10, 0, 30, 20), True),
    ("cut top and bottom swapped", "crop=300:200:20:30", (10, 0, 30, 20), False),
    ("cut left and right swapped", "crop=300:200:0:10", (10, 0, 30, 20), False),
]


def case_judge_rejects_bad_pictures(case):
    case.default_conf()
    p = case.start([case.program_path("vorna-testgl")])
    p.wait_ready()
    path, size, seconds = p.record(1.0)
    p.quit()
    check_recording(path, size, seconds, picture_of=TESTGL_SIZE)
    for n, (name, vf, insets, accepted) in enumerate(JUDGE_COPIES):
        copy = os.path.join(case.root, "copy-%d.mkv" % n)
        rc, _, err = run_tool(["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-frames:v", "8",
                               "-vf", vf,
                               "-c:v", "libx264", "-preset", "ultrafast", "-crf", "18",
                               "-pix_fmt", "yuv420p", copy])
        check(rc == 0, "ffmpeg cannot make the copy '%s': %s" % (name, err.strip()))
        w = TESTGL_SIZE[0] - insets[1] - insets[3]
        h = TESTGL_SIZE[1] - insets[0] - insets[2]
        try:
            check_picture(copy, decode_frames(copy, w, h), w, h, TESTGL_SIZE[0], TESTGL_SIZE[1],
                          insets)
            verdict = True
        except Failure:
            verdict = False
        check(verdict == accepted, "the judge %s the copy '%s'"
              % ("refused" if accepted else "accepted", name))


CASES = {"record-" + form: (lambda case, form=form: record_form(case, form)) for form in FORMS}
CASES.update({
    "insets": case_insets,
    "two-windows": case_two_windows,
    "window-made-anew": case_window_made_anew,
    "glxwindow-made-anew": lambda case: case_window_made_anew(case, ["--glxwindow"]),
    "sigkill-while-recording": case_sigkill,
    "exit-while-recording": case_exit_while_recording,
    "record-option-until-exit": lambda case: record_from_first_frame(case, False),
    "record-option-until-hotkey": lambda case: record_from_first_frame(case, True),
    "fixed-name-twice": case_fixed_name_twice,
    "unwritable-output": case_unwritable_output,
    "ten-cycles": case_ten_cycles,
    "random-config": case_random_config,
    "host-locale": case_host_locale,
    "never-draws": case_never_draws,
    "child-process-exec": lambda case: child_process(case, "exec"),
    "child-process-exit": lambda case: child_process(case, "exit"),
    "judge-rejects-bad-pictures": case_judge_rejects_bad_pictures,
})


def main():
    parser = argparse.ArgumentParser(description="Vorna's end-to-end recordings")
    parser.add_argument("--build", help="the build directory")
    parser.add_argument("--case", choices=sorted(CASES), help="the case to run")
    parser.add_argument("--list", action="store_true", help="print the case names")
    args = parser.parse_args()
    if args.list:
        print(";".join(CASES))
        return 0
    if not args.build or not args.case:
        parser.error("--build and --case are needed")
    if not os.environ.get("DISPLAY"):
        print("e2e.py: no DISPLAY; run it under tests/support/with-xvfb.sh", file=sys.stderr)
        return 2
    case = Case(os.path.abspath(args.build))
    ok = False
    try:
        CASES[args.case](case)
        ok = True
    except Failure as e:
        print("FAILED %s: %s" % (args.case, e))
    finally:
        case.close(ok)
    if ok:
        print("passed %s" % args.case)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
