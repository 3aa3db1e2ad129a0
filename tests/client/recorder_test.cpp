// The worker end to end without GL: synthetic frames in, files judged by ffprobe and ffmpeg.
#include <dirent.h>
#include <sched.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "output.h"
#include "recorder.h"
#include "recording_support.h"

namespace mivo {
namespace {

using namespace test;

constexpr int64_t kMs = 1000000;
// Decoded colours after yuv420p and x264 at its constant quality.
constexpr int kColourTolerance = 24;

RecorderSettings settingsFor(const std::string &path, uint32_t width, uint32_t height,
                             uint32_t outWidth = 0, uint32_t outHeight = 0) {
    RecorderSettings s;
    s.width = width;
    s.height = height;
    s.outWidth = outWidth ? outWidth : width;
    s.outHeight = outHeight ? outHeight : height;
    s.fps = 30;
    s.path = path;
    s.container = containerForPath(path);
    s.startTimeNs = monotonicNowNs();
    return s;
}

std::string reserve(const TempDir &dir, const std::string &name) {
    OutputTarget target;
    std::string error;
    EXPECT_TRUE(resolveOutput(("file://" + (dir / name)).c_str(), &target, &error)) << error;
    return target.path;
}

std::unique_ptr<Recorder> start(const RecorderSettings &settings) {
    std::string error;
    auto recorder = startRecorder(settings, &error);
    EXPECT_TRUE(recorder) << error;
    return recorder;
}

size_t countEntries(const char *dir) {
    size_t n = 0;
    if (DIR *d = opendir(dir)) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Expects the picture painted by quadrants() in frame `index` of the file.
void expectQuadrants(const std::string &path, int width, int height, int index = 0) {
    std::vector<uint8_t> rgb = decodeFrame(path, index, width, height);
    ASSERT_FALSE(rgb.empty()) << path;
    struct Spot {
        int x, y;
        Rgb colour;
        const char *where;
    } spots[] = {
        {width / 4, height / 4, {255, 0, 0}, "top left"},
        {3 * width / 4, height / 4, {0, 255, 0}, "top right"},
        {width / 4, 3 * height / 4, {0, 0, 255}, "bottom left"},
        {3 * width / 4, 3 * height / 4, {255, 255, 255}, "bottom right"},
    };
    for (const Spot &s : spots) {
        Rgb got = pixelAt(rgb, width, s.x, s.y);
        EXPECT_LE(colourDistance(got, s.colour), kColourTolerance)
            << path << " " << s.where << ": " << got.r << "," << got.g << "," << got.b;
    }
}

// The last case is the worker encoding every frame itself, as where no idle priority is to be had.
TEST(Recorder, EachContainerHoldsAnUprightH264Picture) {
    struct Case {
        const char *name, *formatName;
        bool idleHelper;
    } cases[] = {
        {"a.mivo", "matroska,webm", true},
        {"a.mkv", "matroska,webm", true},
        {"a.avi", "matroska,webm", true},
        {"a.mp4", "mov,mp4,m4a,3gp,3g2,mj2", true},
        {"alone.mp4", "mov,mp4,m4a,3gp,3g2,mj2", false},
    };
    for (const Case &c : cases) {
        TempDir dir;
        const std::string path = reserve(dir, c.name);
        RecorderSettings settings = settingsFor(path, 96, 64);
        settings.idleHelper = c.idleHelper;
        auto recorder = start(settings);
        ASSERT_TRUE(recorder);
        SyntheticFrame frame(96, 64, quadrants(96, 64));
        for (int i = 0; i < 5; ++i)
            submitAndWait(*recorder, frame, settings.startTimeNs + i * 33 * kMs);
        RecorderStats stats = finishRecorder(std::move(recorder));
        EXPECT_FALSE(stats.failed);
        EXPECT_EQ(stats.framesWritten, 5u);
        if (!c.idleHelper) {
            EXPECT_EQ(stats.framesByHelper, 0u);
        }
        EXPECT_EQ(stats.path, path);

        Probe p = probe(path);
        ASSERT_TRUE(p.ok) << c.name;
        EXPECT_EQ(p.formatName, c.formatName);
        EXPECT_EQ(p.codec, "h264");
        EXPECT_EQ(p.pixelFormat, "yuv420p");
        EXPECT_EQ(p.width, 96);
        EXPECT_EQ(p.height, 64);
        EXPECT_EQ(p.packetStarts.size(), 5u);
        expectQuadrants(path, 96, 64);
        expectQuadrants(path, 96, 64, 4);
    }
}

// The frame path reads in whichever order the driver prefers; a swapped pair of channels would
// turn red into blue.
TEST(Recorder, BothPixelOrdersKeepTheirColours) {
    struct Case {
        PixelFormat format;
        uint32_t outWidth, outHeight;
        const char *name;
    } cases[] = {
        {PixelFormat::Bgra, 96, 64, "BGRA"},
        {PixelFormat::Rgba, 96, 64, "RGBA"},
        {PixelFormat::Bgra, 48, 32, "BGRA scaled"},
        {PixelFormat::Rgba, 48, 32, "RGBA scaled"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = reserve(dir, "a.mivo");
        RecorderSettings settings = settingsFor(path, 96, 64, c.outWidth, c.outHeight);
        auto recorder = start(settings);
        ASSERT_TRUE(recorder);
        SyntheticFrame frame(96, 64, quadrants(96, 64), c.format);
        submitAndWait(*recorder, frame, settings.startTimeNs);
        RecorderStats stats = finishRecorder(std::move(recorder));
        EXPECT_EQ(stats.framesWritten, 1u);
        expectQuadrants(path, int(c.outWidth), int(c.outHeight));
    }
}

TEST(Recorder, OddSizesArePaddedByRepeatingTheLastColumnAndRow) {
    struct Case {
        uint32_t width, height;
        int paddedWidth, paddedHeight;
    } cases[] = {
        {1, 1, 2, 2},
        {3, 5, 4, 6},
        {641, 481, 642, 482},
        {640, 481, 640, 482},
    };
    for (const Case &c : cases) {
        TempDir dir;
        const std::string path = reserve(dir, "odd.mivo");
        auto recorder = start(settingsFor(path, c.width, c.height));
        ASSERT_TRUE(recorder);
        const bool tiny = c.width < 16;
        SyntheticFrame frame(c.width, c.height,
                             tiny ? solid({255, 255, 0}) : quadrants(c.width, c.height));
        submitAndWait(*recorder, frame, monotonicNowNs());
        EXPECT_EQ(finishRecorder(std::move(recorder)).framesWritten, 1u);

        Probe p = probe(path);
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.width, c.paddedWidth) << c.width << "x" << c.height;
        EXPECT_EQ(p.height, c.paddedHeight) << c.width << "x" << c.height;
        std::vector<uint8_t> rgb = decodeFrame(path, 0, p.width, p.height);
        ASSERT_FALSE(rgb.empty());
        const int right = p.width - 1, bottom = p.height - 1;
        if (tiny) {
            // The added column and row carry the picture's colour, not black.
            for (int y = 0; y < p.height; ++y)
                for (int x = 0; x < p.width; ++x)
                    EXPECT_LE(colourDistance(pixelAt(rgb, p.width, x, y), {255, 255, 0}),
                              kColourTolerance)
                        << c.width << "x" << c.height << " at " << x << "," << y;
        } else {
            expectQuadrants(path, p.width, p.height);
            EXPECT_LE(colourDistance(pixelAt(rgb, p.width, right, p.height / 4), {0, 255, 0}),
                      kColourTolerance);
            EXPECT_LE(colourDistance(pixelAt(rgb, p.width, p.width / 4, bottom), {0, 0, 255}),
                      kColourTolerance);
            EXPECT_LE(colourDistance(pixelAt(rgb, p.width, right, bottom), {255, 255, 255}),
                      kColourTolerance);
        }
    }
}

// The largest area a recording accepts: beyond what H.264's highest level lists, so the
// encoder must not refuse it.
TEST(Recorder, RecordsTheLargestArea) {
    constexpr uint32_t kSide = 8192;
    TempDir dir;
    const std::string path = reserve(dir, "huge.mkv");
    auto recorder = start(settingsFor(path, kSide, kSide));
    ASSERT_TRUE(recorder);
    SyntheticFrame frame(kSide, kSide, quadrants(kSide, kSide));
    submitAndWait(*recorder, frame, monotonicNowNs());
    RecorderStats stats = finishRecorder(std::move(recorder));
    EXPECT_EQ(stats.framesWritten, 1u);
    EXPECT_FALSE(stats.failed);

    Probe p = probe(path);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.width, int(kSide));
    EXPECT_EQ(p.height, int(kSide));
    expectQuadrants(path, p.width, p.height);
}

TEST(Recorder, ScalesToTheRequestedSize) {
    struct Case {
        uint32_t width, height, outWidth, outHeight;
        int fileWidth, fileHeight;
    } cases[] = {
        {640, 480, 320, 240, 320, 240},
        {642, 482, 321, 241, 322, 242},
        {300, 200, 100, 66, 100, 66},
        {641, 481, 213, 160, 214, 160},
        {643, 483, 321, 241, 322, 242},
    };
    for (const Case &c : cases) {
        TempDir dir;
        const std::string path = reserve(dir, "scaled.mkv");
        auto recorder = start(settingsFor(path, c.width, c.height, c.outWidth, c.outHeight));
        ASSERT_TRUE(recorder);
        SyntheticFrame frame(c.width, c.height, quadrants(c.width, c.height));
        submitAndWait(*recorder, frame, monotonicNowNs());
        finishRecorder(std::move(recorder));

        Probe p = probe(path);
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.width, c.fileWidth);
        EXPECT_EQ(p.height, c.fileHeight);
        expectQuadrants(path, p.width, p.height);
        // The edges, padded or not, keep the colours next to them.
        std::vector<uint8_t> rgb = decodeFrame(path, 0, p.width, p.height);
        ASSERT_FALSE(rgb.empty());
        EXPECT_LE(colourDistance(pixelAt(rgb, p.width, p.width - 1, p.height / 4), {0, 255, 0}),
                  kColourTolerance)
            << c.outWidth << "x" << c.outHeight;
        EXPECT_LE(colourDistance(pixelAt(rgb, p.width, p.width / 4, p.height - 1), {0, 0, 255}),
                  kColourTolerance)
            << c.outWidth << "x" << c.outHeight;
    }
}

// Frames carry their capture times; the video runs from the start to the stop, however many
// frames came in between.
TEST(Recorder, DurationFollowsCaptureTimesUntilTheStop) {
    struct Case {
        const char *name;
        std::vector<int64_t> frameMs;
        int64_t stopMs;
    } cases[] = {
        {"steady.mivo", {}, 3000},
        {"sparse.mivo", {0, 500}, 3000},
        {"late-first.mkv", {700, 800, 900}, 1500},
        {"steady.mp4", {}, 3000},
        {"sparse.mp4", {0, 500}, 3000},
    };
    for (Case &c : cases)
        if (c.frameMs.empty())
            for (int64_t t = 0; t < c.stopMs; t += 100) c.frameMs.push_back(t);

    for (const Case &c : cases) {
        TempDir dir;
        const std::string path = reserve(dir, c.name);
        // Time zero lies in the past, so the stop (now, at finish) falls at stopMs.
        RecorderSettings settings = settingsFor(path, 64, 48);
        settings.startTimeNs = monotonicNowNs() - c.stopMs * kMs;
        auto recorder = start(settings);
        ASSERT_TRUE(recorder);
        SyntheticFrame frame(64, 48, quadrants(64, 48));
        for (int64_t t : c.frameMs) submitAndWait(*recorder, frame, settings.startTimeNs + t * kMs);
        const double stopAtLeast = double(monotonicNowNs() - settings.startTimeNs) / 1e9;
        RecorderStats stats = finishRecorder(std::move(recorder));
        const double stopAtMost = double(monotonicNowNs() - settings.startTimeNs) / 1e9;

        EXPECT_EQ(stats.framesWritten, c.frameMs.size()) << c.name;
        EXPECT_GE(stats.durationSeconds, stopAtLeast - 0.002) << c.name;
        EXPECT_LE(stats.durationSeconds, stopAtMost + 0.002) << c.name;

        Probe p = probe(path);
        ASSERT_TRUE(p.ok) << c.name;
        ASSERT_EQ(p.packetStarts.size(), c.frameMs.size()) << c.name;
        EXPECT_NEAR(p.duration, stats.durationSeconds, 0.002) << c.name;
        // The first frame opens the video; the others sit at their capture times.
        EXPECT_DOUBLE_EQ(p.packetStarts[0], 0.0) << c.name;
        for (size_t i = 1; i < c.frameMs.size(); ++i)
            EXPECT_NEAR(p.packetStarts[i], c.frameMs[i] / 1000.0, 0.0015) << c.name << " #" << i;
    }
}

TEST(Recorder, FramesThatFindTheQueueFullAreDroppedAndCounted) {
    TempDir dir;
    const std::string path = reserve(dir, "drops.mivo");
    RecorderSettings settings = settingsFor(path, 1280, 720);
    settings.queueCapacity = 2;
    auto recorder = start(settings);
    ASSERT_TRUE(recorder);

    std::vector<std::unique_ptr<SyntheticFrame>> pool;
    for (int i = 0; i < 3; ++i)
        pool.push_back(std::make_unique<SyntheticFrame>(1280, 720, quadrants(1280, 720)));
    uint64_t taken = 0, refused = 0;
    for (int i = 0; i < 60; ++i) {
        SyntheticFrame &slot = *pool[i % pool.size()];
        // What the frame path does with no free slot: skip the frame and say so.
        if (slot.busy()) {
            noteDropped(*recorder);
            ++refused;
            continue;
        }
        if (submitFrame(*recorder, slot.ref(settings.startTimeNs + i * kMs))) {
            ++taken;
        } else {
            ++refused;
            EXPECT_FALSE(slot.busy()) << "a refused frame gives its slot back";
        }
    }
    RecorderStats stats = finishRecorder(std::move(recorder));
    for (auto &slot : pool) EXPECT_FALSE(slot->busy());
    EXPECT_GT(refused, 0u) << "60 HD frames in a burst must overflow a queue of 2";
    EXPECT_EQ(stats.framesWritten, taken);
    EXPECT_EQ(stats.framesDropped, refused);
    EXPECT_EQ(probe(path).packetStarts.size(), taken);
}

// Keeps every core this process may run on busy at normal priority, as a program drawing flat
// out does: a thread at idle priority gets next to nothing while it runs.
class CoreHog {
public:
    CoreHog() {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        int n = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 2;
        for (int i = 0; i < n; ++i)
            threads_.emplace_back([this] {
                while (!stop_.load(std::memory_order_relaxed)) {
                }
            });
    }
    ~CoreHog() {
        stop_ = true;
        for (std::thread &t : threads_) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// Frames go to the idle-time encoder while the machine has room, and are taken back when it
// starves, whether it had begun on them or not; the file holds every frame, in order, with its
// own picture and time, across the fresh codecs that took over.
TEST(Recorder, AStarvedIdleTimeEncoderLosesNoFrame) {
    constexpr uint32_t kWidth = 1920, kHeight = 1080;
    const Rgb colours[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}, {0, 0, 0},
                           {255, 255, 0}, {0, 255, 255}};
    TempDir dir;
    const std::string path = reserve(dir, "starved.mivo");
    RecorderSettings settings = settingsFor(path, kWidth, kHeight);
    settings.idleHelperRetryMs = 40;
    auto recorder = start(settings);
    ASSERT_TRUE(recorder);

    std::vector<std::unique_ptr<SyntheticFrame>> frames;
    for (const Rgb &c : colours) frames.push_back(std::make_unique<SyntheticFrame>(kWidth, kHeight, solid(c)));
    std::vector<int64_t> times;
    size_t next = 0;
    auto submit = [&](SyntheticFrame &frame) {
        times.push_back(monotonicNowNs());
        EXPECT_TRUE(submitFrame(*recorder, frame.ref(times.back())));
    };
    int64_t retryMs = settings.idleHelperRetryMs;
    for (int round = 0; round < 6; ++round, retryMs *= 2) {
        // Room to spare: the helper's turn again once the worker's spell alone has passed.
        for (int i = 0; i < 2; ++i) {
            SyntheticFrame &frame = *frames[next++ % frames.size()];
            submit(frame);
            ASSERT_TRUE(frame.waitReleased());
        }
        // Every core taken while the helper is woken for a frame, or a little later, once it
        // has begun on it.
        SyntheticFrame &frame = *frames[next++ % frames.size()];
        {
            submit(frame);
            std::this_thread::sleep_for(std::chrono::microseconds(500 * round));
            CoreHog hog;
            ASSERT_TRUE(frame.waitReleased());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(retryMs + 20));
    }
    RecorderStats stats = finishRecorder(std::move(recorder));

    EXPECT_EQ(stats.framesDropped, 0u);
    ASSERT_EQ(stats.framesWritten, next);
    EXPECT_GE(stats.takeovers, 1u);
    EXPECT_GE(stats.restarts, 1u) << "no frame was taken back from the middle of its encoding";
    Probe p = probe(path);
    ASSERT_EQ(p.packetStarts.size(), next);
    for (size_t i = 1; i < next; ++i)
        EXPECT_NEAR(p.packetStarts[i], (times[i] - settings.startTimeNs) / 1e9, 0.0015) << "#" << i;
    for (size_t i = 0; i < next; ++i) {
        std::vector<uint8_t> rgb = decodeFrame(path, int(i), int(kWidth), int(kHeight));
        ASSERT_FALSE(rgb.empty()) << "#" << i;
        const Rgb want = colours[i % (sizeof colours / sizeof colours[0])];
        EXPECT_LE(colourDistance(pixelAt(rgb, int(kWidth), 960, 540), want), kColourTolerance) << "#" << i;
    }
}

TEST(Recorder, RefusedStartsTouchNoDataAndLeaveNoFile) {
    TempDir dir;
    const std::string path = dir / "precious.mivo";
    std::ofstream(path) << "someone's data";
    std::string error;
    auto recorder = startRecorder(settingsFor(path, 64, 48), &error);
    EXPECT_FALSE(recorder);
    EXPECT_EQ(error.rfind("mivoClientCreate(): ", 0), 0u) << error;
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_EQ(readFile(path), "someone's data");

    // A refused start gives back the name it was given: no empty file stays behind.
    error.clear();
    const std::string reserved = reserve(dir, "empty.mivo");
    EXPECT_FALSE(startRecorder(settingsFor(reserved, 0, 48), &error));
    EXPECT_NE(error.find("the area is empty"), std::string::npos) << error;
    EXPECT_NE(access(reserved.c_str(), F_OK), 0) << reserved;

    // A reserved name swapped for a symbolic link before the worker opens it: neither a file
    // that is not there yet nor an empty one of someone else's is written through it.
    for (bool targetExists : {false, true}) {
        const std::string name = reserve(dir, "swapped.mivo");
        const std::string target = dir / (targetExists ? "empty-victim" : "new-victim");
        if (targetExists) std::ofstream{target};
        ASSERT_EQ(unlink(name.c_str()), 0);
        ASSERT_EQ(symlink(target.c_str(), name.c_str()), 0);
        error.clear();
        EXPECT_FALSE(startRecorder(settingsFor(name, 64, 48), &error)) << target;
        EXPECT_NE(error.find(name), std::string::npos) << error;
        struct stat st {};
        if (targetExists) {
            ASSERT_EQ(stat(target.c_str(), &st), 0);
            EXPECT_EQ(st.st_size, 0) << target;
        } else {
            EXPECT_NE(access(target.c_str(), F_OK), 0) << target << " was created";
        }
        unlink(name.c_str());
    }
}

TEST(Recorder, ManyRecordingsLeaveNoDescriptorOrThreadBehind) {
    TempDir dir;
    SyntheticFrame frame(16, 16, quadrants(16, 16));
    auto cycle = [&](int i) {
        auto recorder = start(settingsFor(reserve(dir, "cycle.mivo"), 16, 16));
        if (!recorder) return;
        if (i % 2) submitAndWait(*recorder, frame, monotonicNowNs());
        finishRecorder(std::move(recorder));
    };
    cycle(1);  // FFmpeg and the C++ runtime set up what they keep for the process
    // Descriptors are counted once the threads have settled: the idle-time thread of the cycle
    // just ended may still be on its way out, and with it what the runtime keeps for it.
    const size_t threads = settledThreadCount(), fds = countEntries("/proc/self/fd");
    for (int i = 0; i < 200; ++i) cycle(i);
    EXPECT_EQ(settledThreadCount(), threads);
    EXPECT_EQ(countEntries("/proc/self/fd"), fds);
    // Only the cycles that took a frame leave a file: ".", ".." and 101 recordings.
    EXPECT_EQ(countEntries(dir.path().c_str()), 2u + 101u);
}

// Runs `body` in a child process with stderr sent to `log`; returns the wait status.
template <typename Body>
int inChild(const std::string &log, Body body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

size_t countLines(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// A program killed in the middle of a recording leaves a file that plays up to at most a
// second before the kill.
TEST(Recorder, AKilledProgramLeavesAPlayableFile) {
    for (const char *name : {"killed.mivo", "killed.mp4"}) {
        TempDir dir;
        const std::string path = reserve(dir, name);
        RecorderSettings settings = settingsFor(path, 320, 240);
        pid_t pid = fork();
        if (pid == 0) {
            std::string error;
            auto recorder = startRecorder(settings, &error);
            if (!recorder) _exit(1);
            SyntheticFrame frame(320, 240, quadrants(320, 240));
            for (;;) {
                submitAndWait(*recorder, frame, monotonicNowNs());
                std::this_thread::sleep_for(std::chrono::milliseconds(33));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
        const double killedAt = double(monotonicNowNs() - settings.startTimeNs) / 1e9;
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << name;

        Probe p = probe(path);
        ASSERT_TRUE(p.ok) << name;
        EXPECT_GE(p.end, killedAt - 1.0) << name;
        EXPECT_LE(p.end, killedAt) << name;
        expectQuadrants(path, 320, 240, int(p.packetStarts.size()) - 1);
    }
}

// Frames with noise, so every one costs the file some kilobytes.
void fillNoise(SyntheticFrame &frame, uint32_t state) {
    for (uint8_t &byte : frame.pixels()) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
}

// Records until the recording fails or 20 s have passed; the exit code says what happened:
// 0 failed as it should, 2 never failed, 3 a refused frame kept its slot, 1 did not start.
int recordUntilFailure(const std::string &path) {
    RecorderSettings settings = settingsFor(path, 320, 240);
    std::string error;
    auto recorder = startRecorder(settings, &error);
    if (!recorder) {
        fputs(error.c_str(), stderr);
        return 1;
    }
    SyntheticFrame frame(320, 240, solid({0, 0, 0}));
    const int64_t deadline = monotonicNowNs() + 20000 * kMs;
    uint32_t noise = 1;
    while (!recorderFailed(*recorder) && monotonicNowNs() < deadline) {
        fillNoise(frame, noise++);
        submitAndWait(*recorder, frame, monotonicNowNs());
    }
    bool refusedAndReleased = !submitFrame(*recorder, frame.ref(monotonicNowNs())) && !frame.busy();
    RecorderStats stats = finishRecorder(std::move(recorder));
    if (!stats.failed) return 2;
    return refusedAndReleased ? 0 : 3;
}

TEST(Recorder, AFileSizeLimitEndsTheRecordingWithOneError) {
    TempDir dir;
    const std::string path = reserve(dir, "limited.mivo");
    const std::string log = dir / "stderr.txt";
    // SIGXFSZ keeps its default action, which would kill the program: the worker blocks it.
    int status = inChild(log, [&] {
        struct rlimit limit = {256 * 1024, 256 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        return recordUntilFailure(path);
    });
    const std::string text = readFile(log);
    ASSERT_TRUE(WIFEXITED(status)) << "the program was killed; its log: " << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_EQ(countLines(text, "| ERROR ]:"), 1u) << text;
    EXPECT_NE(text.find("mivoClientCapture(): recording to " + path + " failed: File too large"),
              std::string::npos)
        << text;
    EXPECT_TRUE(probe(path).ok) << "what was written before still plays";
}

TEST(Recorder, AFullDiskEndsTheRecordingWithOneError) {
    TempDir dir;
    const std::string mountPoint = dir / "small";
    mkdir(mountPoint.c_str(), 0755);
    const std::string log = dir / "stderr.txt";
    // A private mount namespace with a 1 MiB tmpfs; skipped where mounting is not allowed.
    int status = inChild(log, [&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0)
            return 77;
        OutputTarget target;
        std::string error;
        if (!resolveOutput(("file://" + mountPoint + "/full.mivo").c_str(), &target, &error)) return 1;
        return recordUntilFailure(target.path);
    });
    const std::string text = readFile(log);
    ASSERT_TRUE(WIFEXITED(status)) << text;
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_EQ(countLines(text, "| ERROR ]:"), 1u) << text;
    EXPECT_NE(text.find("full.mivo failed: No space left on device"), std::string::npos) << text;
}

TEST(Recorder, ARemovedFileEndsTheRecordingWithOneError) {
    TempDir dir;
    const std::string path = reserve(dir, "removed.mivo");
    testing::internal::CaptureStderr();
    auto recorder = start(settingsFor(path, 64, 48));
    ASSERT_TRUE(recorder);
    SyntheticFrame frame(64, 48, quadrants(64, 48));
    submitAndWait(*recorder, frame, monotonicNowNs());
    ASSERT_EQ(unlink(path.c_str()), 0);
    const int64_t deadline = monotonicNowNs() + 5000 * kMs;
    while (!recorderFailed(*recorder) && monotonicNowNs() < deadline) {
        submitAndWait(*recorder, frame, monotonicNowNs());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(recorderFailed(*recorder));
    EXPECT_FALSE(submitFrame(*recorder, frame.ref(monotonicNowNs())));
    EXPECT_FALSE(frame.busy());
    RecorderStats stats = finishRecorder(std::move(recorder));
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(stats.failed);
    EXPECT_EQ(countLines(text, "| ERROR ]:"), 1u) << text;
    EXPECT_NE(text.find(path + " failed: the file was removed"), std::string::npos) << text;
}

}  // namespace
}  // namespace mivo
