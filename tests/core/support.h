// Helpers for the core's tests: a private HOME, captured log lines, child processes.
#ifndef VORNA_TESTS_CORE_SUPPORT_H
#define VORNA_TESTS_CORE_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

// A fresh directory that stands in for HOME; removed with everything in it.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome &) = delete;
    TempHome &operator=(const TempHome &) = delete;

    const std::string &path() const { return dir_; }
    // Writes `text` to HOME/.vorna/`relative`, creating the folders on the way.
    void write(const std::string &relative, const std::string &text) const;

private:
    std::string dir_;
};

// Everything written to file descriptor 2 while `action` runs.
std::string captureStderr(const std::function<void()> &action);

// Log lines as "LEVEL|message", the stamp checked and dropped. A line that is not in the log
// format is returned whole, prefixed with "?|", so that a comparison shows it.
std::vector<std::string> logLines(const std::string &text);
std::vector<std::string> logLinesAt(const std::string &text, const std::string &level);

// Runs `updateConfiguration()` and returns what it logged.
std::string reload();

// One field of vornaGlobal as text: fps with %g, hotkey by name (0 for the null key symbol),
// insets as a/b/c/d.
std::string settingText(const std::string &field);

struct ChildResult {
    int status = -1;  // as waitpid() reports it
    std::string out;
    std::string err;
};

// Runs this test executable again as "`argv0` --probe `mode`" with exactly `environment`.
ChildResult runProbe(const std::string &argv0, const std::string &mode, const std::vector<std::string> &environment);

// The probe's side of runProbe(); returns the exit status.
int probeMain(const std::string &mode);

#endif
