#include "support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "doubles.h"
#include "vorna.h"

namespace fs = std::filesystem;

TempHome::TempHome()
{
    char pattern[] = "/tmp/vorna-core-test-XXXXXX";
    const char *made = mkdtemp(pattern);
    if (made == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir_ = made;
}

TempHome::~TempHome()
{
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void TempHome::write(const std::string &relative, const std::string &text) const
{
    fs::path file = fs::path(dir_) / ".vorna" / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

static std::string readAll(int fd)
{
    std::string text;
    char chunk[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

std::string captureStderr(const std::function<void()> &action)
{
    fflush(stderr);
    FILE *sink = tmpfile();
    int saved = dup(2);
    dup2(fileno(sink), 2);
    action();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text = readAll(fileno(sink));
    fclose(sink);
    return text;
}

std::vector<std::string> logLines(const std::string &text)
{
    static const std::regex line(R"(\[ \d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \| (.{5}) \]: (.*))");
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string raw; std::getline(in, raw);) {
        std::smatch m;
        if (std::regex_match(raw, m, line))
            lines.push_back(m[1].str() + "|" + m[2].str());
        else
            lines.push_back("?|" + raw);
    }
    return lines;
}

std::vector<std::string> logLinesAt(const std::string &text, const std::string &level)
{
    std::vector<std::string> picked;
    for (const std::string &line : logLines(text))
        if (line.compare(0, level.size() + 1, level + "|") == 0)
            picked.push_back(line);
    return picked;
}

std::string reload()
{
    return captureStderr([] { updateConfiguration(); });
}

std::string settingText(const std::string &field)
{
    char text[2048];
    if (field == "fps") {
        snprintf(text, sizeof text, "%g", vornaGlobal.fps);
    } else if (field == "hotkey") {
        const char *name = vornaGlobal.hotkey == 0 ? "0" : XKeysymToString(vornaGlobal.hotkey);
        snprintf(text, sizeof text, "%s", name != nullptr ? name : "?");
    } else if (field == "insets") {
        snprintf(text, sizeof text, "%" PRIu32 "/%" PRIu32 "/%" PRIu32 "/%" PRIu32, vornaGlobal.insets[0],
                 vornaGlobal.insets[1], vornaGlobal.insets[2], vornaGlobal.insets[3]);
    } else if (field == "scale") {
        snprintf(text, sizeof text, "%" PRIu32, vornaGlobal.scale);
    } else if (field == "verbosity") {
        snprintf(text, sizeof text, "%" PRIu64, vornaGlobal.verbosity);
    } else if (field == "output") {
        snprintf(text, sizeof text, "%s", vornaGlobal.output);
    } else {
        return "unknown field " + field;
    }
    return text;
}

ChildResult runProbe(const std::string &argv0, const std::string &mode, const std::vector<std::string> &environment)
{
    ChildResult result;
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fileno(out), 1);
    posix_spawn_file_actions_adddup2(&actions, fileno(err), 2);

    std::vector<std::string> args = {argv0, "--probe", mode};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = environment;
    // The sanitizer runtime reads its settings from the environment; pass them on.
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *value = getenv(name))
            env.push_back(std::string(name) + "=" + value);
    std::vector<char *> envp;
    for (std::string &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid;
    if (posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), envp.data()) == 0)
        waitpid(pid, &result.status, 0);
    posix_spawn_file_actions_destroy(&actions);
    result.out = readAll(fileno(out));
    result.err = readAll(fileno(err));
    fclose(out);
    fclose(err);
    return result;
}

static XEvent hotkeyPress(Time time)
{
    XEvent event{};
    event.xkey.type = KeyPress;
    event.xkey.keycode = kF8Code;
    event.xkey.time = time;
    return event;
}

int probeMain(const std::string &mode)
{
    if (mode == "settings") {
        for (const char *field : {"verbosity", "hotkey", "insets", "scale", "fps", "output"})
            printf("%s=%s\n", field, settingText(field).c_str());
        return 0;
    }
    if (mode == "time-zero") {
        // The core's stored press time starts at 0, so a first press stamped 0 is taken as a
        // repeat; the next one starts a capture.
        for (Time time : {Time(0), Time(5)}) {
            XEvent press = hotkeyPress(time);
            vornaCoreEvent(nullptr, &press);
            vornaCoreCapture(nullptr, 1);
            size_t creates = 0;
            for (const ClientCall &call : doubles.calls)
                creates += call.kind == ClientCall::Create;
            printf("time %lu: %zu created\n", static_cast<unsigned long>(time), creates);
        }
        return 0;
    }
    fprintf(stderr, "unknown probe mode %s\n", mode.c_str());
    return 2;
}
