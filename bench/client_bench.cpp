// client_bench: what recording costs a GL program. A moving scene is drawn in a real GLX
// window and recorded through libmivo.so.0 exactly as the core drives it (create, one capture
// call per frame just before the buffer swap, destroy); the program's frame rate alone and while
// recording, the time spent inside mivoClientCapture, the client's drops and the CPU its own
// threads use are reported per case, and the file is read back with libavformat.
//
//   client_bench [--size WxH]... [--fps N]... [--seconds S] [--warmup S] [--settle S]
//                [--finish] [--out DIR] [--keep] [--verbose]
//
// Without --size/--fps it runs 1280x720 and 1920x1080 at 30 and 60 fps, 10 s each. Run it under
// an X server (tests/support/with-xvfb.sh). A software rasterizer such as llvmpipe draws only
// when it is made to: the first read-back of a frame then waits for the whole scene to be drawn,
// time the buffer swap would have spent anyway. --finish draws the scene out (glFinish) before
// each capture call, so that the time inside it is the client's own.
#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "mivo.h"
#include "vorna.h"

namespace {

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---- the client's messages -------------------------------------------------------------------
// The client sends its lines through the core's logMessage when there is a core; the bench
// exports its own and a vornaCoreCapture that marks it as the core (see ENABLE_EXPORTS in
// CMakeLists.txt), so that it can read the drop count out of the client's closing line.

std::string lastClientLine;
bool quietClient = false;

}  // namespace

extern "C" void vornaCoreCapture(Display *, Drawable) {}

extern "C" void logMessage(uint64_t level, const char *format, ...) {
    static const char *const names[] = {"PANIC", "ERROR", "WARN ", "INFO ", "DEBUG"};
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // The closing line; the DEBUG line after it has no drop count.
    if (strstr(text, "dropped")) lastClientLine = text;
    if (!quietClient || level <= VORNA_LOG_WARN)
        fprintf(stderr, "[ client | %s ]: %s", level < 5 ? names[level] : "?????", text);
}

namespace {

// ---- the program: a GLX window with a scene that moves and costs something to draw ------------

struct Window {
    Display *display = nullptr;
    ::Window window = 0;
    GLXContext context = nullptr;
    int width = 0, height = 0;

    bool open(int w, int h) {
        width = w;
        height = h;
        display = XOpenDisplay(nullptr);
        if (!display) {
            fprintf(stderr, "client_bench: cannot open the X display (run it under Xvfb)\n");
            return false;
        }
        const int attributes[] = {GLX_X_RENDERABLE, True, GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT,
                                  GLX_RENDER_TYPE, GLX_RGBA_BIT, GLX_DOUBLEBUFFER, True,
                                  GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8,
                                  GLX_DEPTH_SIZE, 24, None};
        int count = 0;
        GLXFBConfig *configs = glXChooseFBConfig(display, DefaultScreen(display), attributes, &count);
        if (!configs || count == 0) {
            fprintf(stderr, "client_bench: no double-buffered RGB GLX config\n");
            return false;
        }
        GLXFBConfig config = configs[0];
        XFree(configs);
        XVisualInfo *visual = glXGetVisualFromFBConfig(display, config);
        ::Window root = RootWindow(display, visual->screen);
        XSetWindowAttributes wa{};
        wa.colormap = XCreateColormap(display, root, visual->visual, AllocNone);
        wa.event_mask = StructureNotifyMask;
        window = XCreateWindow(display, root, 0, 0, unsigned(w), unsigned(h), 0, visual->depth,
                               InputOutput, visual->visual, CWColormap | CWEventMask, &wa);
        XFree(visual);
        XStoreName(display, window, "client_bench");
        XMapWindow(display, window);
        for (XEvent e;;) {
            XNextEvent(display, &e);
            if (e.type == MapNotify) break;
        }
        context = glXCreateNewContext(display, config, GLX_RGBA_TYPE, nullptr, True);
        if (!context || !glXMakeCurrent(display, window, context)) {
            fprintf(stderr, "client_bench: cannot make a GL context current\n");
            return false;
        }
        return true;
    }

    void close() {
        if (display) {
            glXMakeCurrent(display, None, nullptr);
            if (context) glXDestroyContext(display, context);
            if (window) XDestroyWindow(display, window);
            XCloseDisplay(display);
        }
        *this = Window{};
    }
};

// A full-window gradient that drifts (fill cost on every pixel) under a grid of spinning,
// blended triangles (geometry and blending cost), so every frame differs from the one before
// and the encoder sees real motion.
void drawScene(const Window &w, double t) {
    glViewport(0, 0, w.width, w.height);
    glDisable(GL_DEPTH_TEST);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    const double aspect = double(w.width) / w.height;
    glOrtho(-aspect, aspect, -1, 1, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();

    const float s = float(0.5 + 0.5 * std::sin(t * 0.7));
    glDisable(GL_BLEND);
    glBegin(GL_QUADS);
    glColor3f(0.1f, 0.2f * s, 0.5f);
    glVertex2d(-aspect, -1);
    glColor3f(0.6f * s, 0.1f, 0.2f);
    glVertex2d(aspect, -1);
    glColor3f(0.1f, 0.5f, 0.3f * (1 - s));
    glVertex2d(aspect, 1);
    glColor3f(0.4f, 0.4f * (1 - s), 0.1f);
    glVertex2d(-aspect, 1);
    glEnd();

    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    const int columns = 32, rows = 18;
    const double cell = 2.0 / rows;
    glBegin(GL_TRIANGLES);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const double cx = -aspect + (c + 0.5) * (2 * aspect / columns);
            const double cy = -1 + (r + 0.5) * cell;
            const double a = t * (1.0 + 0.05 * ((r * columns + c) % 17)) + r * 0.3 + c * 0.2;
            const double radius = cell * (0.6 + 0.3 * std::sin(t * 1.3 + c));
            for (int k = 0; k < 3; ++k) {
                const double ak = a + k * 2.0943951023931953;
                glColor4f(0.5f + 0.5f * float(std::cos(ak)), 0.5f + 0.5f * float(std::sin(ak + r)),
                          0.5f + 0.5f * float(std::sin(ak * 0.5 + c)), 0.7f);
                glVertex2d(cx + radius * std::cos(ak), cy + radius * std::sin(ak));
            }
        }
    }
    glEnd();
}

// ---- the client's own threads ----------------------------------------------------------------
// Threads that appear in the process between mivoClientCreate and the end of the recording are
// the client's (worker, encoder); their CPU time is read through each thread's CPU clock, which
// Linux lets any thread of the process read by its id.

std::set<long> threadIds() {
    std::set<long> ids;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.') ids.insert(strtol(entry->d_name, nullptr, 10));
        closedir(dir);
    }
    return ids;
}

double threadCpuSeconds(long tid) {
    // The kernel's encoding of a per-thread scheduler clock (CPUCLOCK_SCHED | CPUCLOCK_PERTHREAD).
    const clockid_t clock = clockid_t((~tid << 3) | 6);
    timespec ts;
    if (clock_gettime(clock, &ts) != 0) return 0;
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// ---- the recorded file, read back ------------------------------------------------------------

struct FileFacts {
    bool ok = false;
    int64_t packets = 0;
    double durationSeconds = 0;
    int width = 0, height = 0;
    int64_t bytes = 0;
};

FileFacts readBack(const std::string &path) {
    FileFacts facts;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) facts.bytes = st.st_size;
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return facts;
    if (avformat_find_stream_info(format, nullptr) >= 0) {
        const int video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (video >= 0) {
            facts.width = format->streams[video]->codecpar->width;
            facts.height = format->streams[video]->codecpar->height;
            AVPacket *packet = av_packet_alloc();
            int64_t lastEnd = 0;
            const AVRational base = format->streams[video]->time_base;
            while (av_read_frame(format, packet) >= 0) {
                if (packet->stream_index == video) {
                    ++facts.packets;
                    const int64_t end = packet->pts + std::max<int64_t>(packet->duration, 0);
                    lastEnd = std::max(lastEnd, end);
                }
                av_packet_unref(packet);
            }
            av_packet_free(&packet);
            facts.durationSeconds = lastEnd * av_q2d(base);
            facts.ok = true;
        }
    }
    avformat_close_input(&format);
    return facts;
}

// The client's closing line names frames written and dropped; take the number in front of (or
// right after) the word "dropped".
long droppedFromLine(const std::string &line) {
    const size_t at = line.find("dropped");
    if (at == std::string::npos) return -1;
    size_t end = at;
    while (end > 0 && !isdigit(static_cast<unsigned char>(line[end - 1]))) {
        if (at - end > 3) break;
        --end;
    }
    size_t begin = end;
    while (begin > 0 && isdigit(static_cast<unsigned char>(line[begin - 1]))) --begin;
    if (begin < end) return strtol(line.substr(begin, end - begin).c_str(), nullptr, 10);
    const char *after = line.c_str() + at + strlen("dropped");
    while (*after && !isdigit(static_cast<unsigned char>(*after)) && *after != '\n') ++after;
    return isdigit(static_cast<unsigned char>(*after)) ? strtol(after, nullptr, 10) : -1;
}

// ---- one case --------------------------------------------------------------------------------

struct Case {
    int width = 0, height = 0;
    double fps = 0;
};

struct Percentiles {
    double median = 0, p99 = 0, max = 0;
    size_t count = 0;
};

Percentiles percentiles(std::vector<double> v) {
    Percentiles p;
    p.count = v.size();
    if (v.empty()) return p;
    std::sort(v.begin(), v.end());
    p.median = v[v.size() / 2];
    p.p99 = v[std::min(v.size() - 1, size_t(std::ceil(0.99 * double(v.size()))) - 1)];
    p.max = v.back();
    return p;
}

struct Result {
    Case c;
    bool ok = false;
    double aloneFps = 0, recordingFps = 0;
    Percentiles all, taken;
    double startMax = 0;  // slowest call in the first `settle` seconds
    long dropped = -1;
    double recordSeconds = 0, finishSeconds = 0;
    double clientCpuSeconds = 0;
    FileFacts file;
};

struct Options {
    std::vector<std::pair<int, int>> sizes;
    std::vector<double> rates;
    double seconds = 10;
    double warmup = 3;
    double settle = 1;
    bool finishFirst = false;
    std::string dir;
    bool keep = false;
};

Result runCase(const Case &c, const Options &options, int index) {
    Result result;
    result.c = c;
    Window w;
    if (!w.open(c.width, c.height)) {
        w.close();
        return result;
    }

    // The program alone: its frame rate, and time for Mesa to start its threads.
    const int64_t warmStart = nowNs();
    int64_t frames = 0;
    while (nowNs() - warmStart < int64_t(options.warmup * 1e9)) {
        drawScene(w, (nowNs() - warmStart) * 1e-9);
        if (options.finishFirst) glFinish();
        glXSwapBuffers(w.display, w.window);
        ++frames;
    }
    result.aloneFps = frames / ((nowNs() - warmStart) * 1e-9);

    char name[128];
    snprintf(name, sizeof name, "bench-%d-%dx%d-%g.mivo", index, c.width, c.height, c.fps);
    const std::string path = options.dir + "/" + name;
    unlink(path.c_str());
    const std::string url = "file://" + path;
    CaptureParams params{};
    params.width = uint32_t(c.width);
    params.height = uint32_t(c.height);
    params.scale = 0;
    params.fps = c.fps;
    params.output = url.c_str();

    const std::set<long> before = threadIds();
    const int64_t start = nowNs();
    MivoClient *client = mivoClientCreate(&params);
    if (!client) {
        fprintf(stderr, "client_bench: mivoClientCreate refused %s\n", url.c_str());
        w.close();
        return result;
    }

    std::vector<double> all, taken;
    all.reserve(size_t(options.seconds * 2000));
    // Pacing as the client does it: due times on a grid of whole periods from the start, a
    // quarter period of slack, and the grid restarted from a frame that came more than a period
    // late. The calls classified as due here are the ones that read a frame back.
    const int64_t period = std::max<int64_t>(1, std::llround(1e9 / c.fps));
    const int64_t slack = period / 4;
    int64_t nextDue = start;
    std::set<long> clientThreads;
    frames = 0;
    const int64_t end = start + int64_t(options.seconds * 1e9);
    int64_t now = start;
    while (now < end) {
        drawScene(w, (now - warmStart) * 1e-9);
        if (options.finishFirst) glFinish();
        const int64_t t0 = nowNs();
        mivoClientCapture(client, 0, 0);
        const int64_t t1 = nowNs();
        glXSwapBuffers(w.display, w.window);
        ++frames;
        const double ms = (t1 - t0) * 1e-6;
        bool due = false;
        if (t0 >= nextDue - slack) {
            due = true;
            nextDue += period;
            if (nextDue - slack <= t0) nextDue = t0 + period;
        }
        // The first frames of a recording pay once for buffers that are allocated and first
        // touched; they are reported apart from the steady state.
        if (t0 - start < int64_t(options.settle * 1e9)) {
            result.startMax = std::max(result.startMax, ms);
        } else {
            all.push_back(ms);
            if (due) taken.push_back(ms);
        }
        now = nowNs();
        if (frames == 10) {
            for (long tid : threadIds())
                if (!before.count(tid)) clientThreads.insert(tid);
        }
    }
    // Threads can come later than the tenth frame (a worker started on demand); look again.
    for (long tid : threadIds())
        if (!before.count(tid)) clientThreads.insert(tid);
    for (long tid : clientThreads) result.clientCpuSeconds += threadCpuSeconds(tid);
    const int64_t stop = nowNs();
    result.recordingFps = frames / ((stop - start) * 1e-9);
    mivoClientDestroy(client);
    result.finishSeconds = (nowNs() - stop) * 1e-9;
    result.recordSeconds = (stop - start) * 1e-9;
    result.dropped = droppedFromLine(lastClientLine);
    result.all = percentiles(all);
    result.taken = percentiles(taken);
    w.close();

    result.file = readBack(path);
    if (!options.keep) unlink(path.c_str());
    result.ok = true;
    return result;
}

void printResults(const std::vector<Result> &results, const Options &options) {
    printf("\nclient_bench: %.0f s per case; times inside mivoClientCapture in ms%s\n", options.seconds,
           options.finishFirst ? " (scene finished before each call)" : "");
    printf("%-13s %8s %8s | %6s | %6s %6s %6s | %6s %6s %6s | %6s %6s %7s %7s %6s %8s %10s\n",
           "case", "alone", "rec fps", "start", "calls", "med", "p99", "taken", "med", "p99",
           "frames", "drops", "due", "enc fps", "cpu %", "finish", "bytes/s");
    for (const Result &r : results) {
        char label[32];
        snprintf(label, sizeof label, "%dx%d@%g", r.c.width, r.c.height, r.c.fps);
        if (!r.ok) {
            printf("%-13s failed\n", label);
            continue;
        }
        const double encFps = r.clientCpuSeconds > 0 ? r.file.packets / r.clientCpuSeconds : 0;
        const double cpu = 100 * r.clientCpuSeconds / r.recordSeconds;
        char drops[24];
        if (r.dropped >= 0)
            snprintf(drops, sizeof drops, "%ld", r.dropped);
        else
            snprintf(drops, sizeof drops, "?");
        printf("%-13s %8.1f %8.1f | %6.1f | %6zu %6.3f %6.3f | %6zu %6.3f %6.3f | %6lld %6s %7.1f %7.1f %6.0f %7.2fs %10.0f\n",
               label, r.aloneFps, r.recordingFps, r.startMax, r.all.count, r.all.median, r.all.p99,
               r.taken.count, r.taken.median, r.taken.p99, static_cast<long long>(r.file.packets),
               drops, r.recordSeconds * r.c.fps, encFps, cpu, r.finishSeconds,
               r.file.bytes / r.recordSeconds);
        if (!r.file.ok)
            printf("%-13s   the file could not be read back\n", "");
        else if (r.file.width != r.c.width || r.file.height != r.c.height)
            printf("%-13s   the file is %dx%d\n", "", r.file.width, r.file.height);
    }
    printf("\nalone/rec fps: the scene's frame rate without and while recording. start: the slowest\n"
           "call in the first %g s (set-up, first touch of the buffers); calls and taken (the calls\n"
           "that read a frame back) count from then on. frames: video frames in the file; due:\n"
           "recording time x fps.\n"
           "enc fps: frames written per CPU second of the client's own threads (conversion and\n"
           "encoding); cpu %%: those threads' CPU, in %% of one core. finish: mivoClientDestroy.\n",
           options.settle);
}

bool parseSize(const char *text, std::pair<int, int> *size) {
    int w = 0, h = 0;
    char tail = 0;
    if (sscanf(text, "%dx%d%c", &w, &h, &tail) != 2 || w < 1 || h < 1) return false;
    *size = {w, h};
    return true;
}

void usage() {
    fprintf(stderr,
            "usage: client_bench [--size WxH]... [--fps N]... [--seconds S] [--warmup S]\n"
            "                    [--settle S] [--finish] [--out DIR] [--keep] [--verbose]\n"
            "  default: 1280x720 and 1920x1080 at 30 and 60 fps, 10 s each, files in a temp dir\n");
}

}  // namespace

int main(int argc, char **argv) {
    // Numbers in and out read the same whatever the environment's locale.
    setlocale(LC_ALL, "C");
    Options options;
    quietClient = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        std::pair<int, int> size;
        if (arg == "--size" && value && parseSize(value, &size)) {
            options.sizes.push_back(size);
            ++i;
        } else if (arg == "--fps" && value && strtod(value, nullptr) > 0) {
            options.rates.push_back(strtod(value, nullptr));
            ++i;
        } else if (arg == "--seconds" && value && strtod(value, nullptr) > 0) {
            options.seconds = strtod(value, nullptr);
            ++i;
        } else if (arg == "--warmup" && value && strtod(value, nullptr) >= 0) {
            options.warmup = strtod(value, nullptr);
            ++i;
        } else if (arg == "--out" && value) {
            options.dir = value;
            ++i;
        } else if (arg == "--settle" && value && strtod(value, nullptr) >= 0) {
            options.settle = strtod(value, nullptr);
            ++i;
        } else if (arg == "--finish") {
            options.finishFirst = true;
        } else if (arg == "--keep") {
            options.keep = true;
        } else if (arg == "--verbose") {
            quietClient = false;
        } else {
            usage();
            return 2;
        }
    }
    if (options.sizes.empty()) options.sizes = {{1280, 720}, {1920, 1080}};
    if (options.rates.empty()) options.rates = {30, 60};
    bool madeDir = false;
    if (options.dir.empty()) {
        char pattern[] = "/tmp/client-bench-XXXXXX";
        if (!mkdtemp(pattern)) {
            perror("client_bench: mkdtemp");
            return 1;
        }
        options.dir = pattern;
        madeDir = true;
    }
    // Swaps must not wait for a vertical blank that Xvfb does not have.
    setenv("vblank_mode", "0", 0);

    std::vector<Result> results;
    int index = 0;
    for (const auto &size : options.sizes)
        for (double fps : options.rates) {
            Case c{size.first, size.second, fps};
            fprintf(stderr, "client_bench: %dx%d at %g fps...\n", c.width, c.height, c.fps);
            results.push_back(runCase(c, options, ++index));
        }
    printResults(results, options);
    if (madeDir && !options.keep) rmdir(options.dir.c_str());
    for (const Result &r : results)
        if (!r.ok || !r.file.ok) return 1;
    return 0;
}
