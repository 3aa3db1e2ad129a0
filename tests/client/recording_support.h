// Helpers for the worker's tests: synthetic frames laid out as GL hands them over, and the
// independent reader (ffprobe, ffmpeg) that judges the files.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "recorder.h"

namespace mivo::test {

struct Rgb {
    int r, g, b;
};

// Colour of the pixel at (x, y), y counted from the top of the picture.
using Painter = std::function<Rgb(uint32_t x, uint32_t y)>;

// Red top left, green top right, blue bottom left, white bottom right.
Painter quadrants(uint32_t width, uint32_t height);
Painter solid(Rgb colour);

// One frame (BGRA unless told otherwise) stored bottom-up, with the busy flag the worker clears.
class SyntheticFrame {
public:
    SyntheticFrame(uint32_t width, uint32_t height, const Painter &paint,
                   PixelFormat format = PixelFormat::Bgra);
    FrameRef ref(int64_t captureTimeNs);
    bool busy() const { return busy_.load(std::memory_order_acquire); }
    // Waits (up to 10 s) until the worker has handed the frame back.
    bool waitReleased() const;
    std::vector<uint8_t> &pixels() { return pixels_; }

private:
    uint32_t width_, height_;
    PixelFormat format_;
    std::vector<uint8_t> pixels_;
    std::atomic<bool> busy_{false};
};

int64_t monotonicNowNs();

// The threads of this process, once their number has held still for 50 ms (at most 2 s). A
// joined thread can stay listed in /proc/self/task for a moment: pthread_join returns when the
// thread clears its id, before the kernel has reaped it.
size_t settledThreadCount();

// Submits and waits until the worker has taken the frame, so a test decides what is dropped.
void submitAndWait(Recorder &recorder, SyntheticFrame &frame, int64_t captureTimeNs);

// A directory of its own under TMPDIR, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct ProgramResult {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
};
ProgramResult runProgram(const std::vector<std::string> &argv);

struct Probe {
    bool ok = false;
    std::string formatName, codec, pixelFormat;
    int width = 0, height = 0;
    double duration = -1;             // the container's own duration
    std::vector<double> packetStarts;  // presentation times, seconds
    double end = -1;                   // end of the last packet (start + duration)
};
Probe probe(const std::string &path);

// Frame `index` decoded to rgb24, top row first; empty when ffmpeg fails.
std::vector<uint8_t> decodeFrame(const std::string &path, int index, int width, int height);
Rgb pixelAt(const std::vector<uint8_t> &rgb, int width, int x, int y);
// Largest difference of one channel.
int colourDistance(Rgb a, Rgb b);

}  // namespace mivo::test
