#include "recording_support.h"

#include <dirent.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

extern char **environ;

namespace mivo::test {

Painter quadrants(uint32_t width, uint32_t height) {
    return [width, height](uint32_t x, uint32_t y) {
        bool right = x >= width / 2, bottom = y >= height / 2;
        if (!bottom) return right ? Rgb{0, 255, 0} : Rgb{255, 0, 0};
        return right ? Rgb{255, 255, 255} : Rgb{0, 0, 255};
    };
}

Painter solid(Rgb colour) {
    return [colour](uint32_t, uint32_t) { return colour; };
}

SyntheticFrame::SyntheticFrame(uint32_t width, uint32_t height, const Painter &paint,
                               PixelFormat format)
    : width_(width), height_(height), format_(format), pixels_(size_t{width} * height * 4) {
    const bool rgba = format == PixelFormat::Rgba;
    for (uint32_t y = 0; y < height; ++y) {
        // GL's first row in memory is the bottom row of the picture.
        uint8_t *row = pixels_.data() + size_t{height - 1 - y} * width * 4;
        for (uint32_t x = 0; x < width; ++x) {
            Rgb c = paint(x, y);
            row[x * 4 + 0] = static_cast<uint8_t>(rgba ? c.r : c.b);
            row[x * 4 + 1] = static_cast<uint8_t>(c.g);
            row[x * 4 + 2] = static_cast<uint8_t>(rgba ? c.b : c.r);
            row[x * 4 + 3] = 255;
        }
    }
}

FrameRef SyntheticFrame::ref(int64_t captureTimeNs) {
    busy_.store(true, std::memory_order_release);
    FrameRef frame;
    frame.pixels = pixels_.data();
    frame.stride = static_cast<ptrdiff_t>(width_) * 4;
    frame.format = format_;
    frame.captureTimeNs = captureTimeNs;
    frame.busy = &busy_;
    return frame;
}

bool SyntheticFrame::waitReleased() const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (busy()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

int64_t monotonicNowNs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

size_t settledThreadCount() {
    auto count = [] {
        size_t n = 0;
        if (DIR *d = opendir("/proc/self/task")) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.') ++n;
            closedir(d);
        }
        return n;
    };
    size_t last = count();
    for (int same = 0, tries = 0; same < 5 && tries < 200; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const size_t now = count();
        same = now == last ? same + 1 : 0;
        last = now;
    }
    return last;
}

void submitAndWait(Recorder &recorder, SyntheticFrame &frame, int64_t captureTimeNs) {
    submitFrame(recorder, frame.ref(captureTimeNs));
    frame.waitReleased();
}

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vorna-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data())) path_ = name.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

ProgramResult runProgram(const std::vector<std::string> &argv) {
    ProgramResult result;
    int out[2];
    if (pipe(out) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc == 0) {
        char buffer[65536];
        ssize_t n;
        while ((n = read(out[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, size_t(n));
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(out[0]);
    return result;
}

Probe probe(const std::string &path) {
    Probe p;
    ProgramResult info = runProgram({VORNA_FFPROBE, "-v", "error", "-show_entries",
                                     "format=format_name,duration:stream=codec_name,pix_fmt,width,height",
                                     "-of", "default=noprint_wrappers=1", path});
    if (info.status != 0) return p;
    std::istringstream lines(info.out);
    for (std::string line; std::getline(lines, line);) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "format_name") p.formatName = value;
        else if (key == "codec_name") p.codec = value;
        else if (key == "pix_fmt") p.pixelFormat = value;
        else if (key == "width") p.width = std::atoi(value.c_str());
        else if (key == "height") p.height = std::atoi(value.c_str());
        else if (key == "duration" && value != "N/A") p.duration = std::strtod(value.c_str(), nullptr);
    }
    ProgramResult packets = runProgram({VORNA_FFPROBE, "-v", "error", "-select_streams", "v:0",
                                        "-show_entries", "packet=pts_time,duration_time", "-of",
                                        "csv=p=0", path});
    if (packets.status != 0) return p;
    std::istringstream rows(packets.out);
    for (std::string row; std::getline(rows, row);) {
        double start = 0, length = 0;
        if (std::sscanf(row.c_str(), "%lf,%lf", &start, &length) < 1) continue;
        p.packetStarts.push_back(start);
        p.end = std::max(p.end, start + length);
    }
    std::sort(p.packetStarts.begin(), p.packetStarts.end());
    p.ok = true;
    return p;
}

std::vector<uint8_t> decodeFrame(const std::string &path, int index, int width, int height) {
    ProgramResult r = runProgram({VORNA_FFMPEG, "-v", "error", "-i", path, "-vf",
                                  "select=eq(n\\," + std::to_string(index) + ")", "-frames:v", "1",
                                  "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    if (r.status != 0 || r.out.size() != size_t(width) * height * 3) return {};
    return std::vector<uint8_t>(r.out.begin(), r.out.end());
}

Rgb pixelAt(const std::vector<uint8_t> &rgb, int width, int x, int y) {
    const uint8_t *p = rgb.data() + (size_t(y) * width + x) * 3;
    return Rgb{p[0], p[1], p[2]};
}

int colourDistance(Rgb a, Rgb b) {
    return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}

}  // namespace mivo::test
