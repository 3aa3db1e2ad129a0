// Runs a program the way a shell would and collects what it wrote, for the launcher and hook
// tests.
#ifndef VORNA_TESTS_PRELOAD_SPAWN_H
#define VORNA_TESTS_PRELOAD_SPAWN_H

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace vorna_test {

struct Outcome {
    int exitCode = -1;  // the exit status, or -SIGNAL when a signal ended it
    std::string out;
    std::string err;
};

inline std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A fresh directory under TMPDIR, removed with everything in it when this goes away.
class TempDir {
public:
    TempDir() {
        std::string pattern = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/vorna-test-XXXXXX";
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::string command = "rm -rf '" + path_ + "'";
            if (system(command.c_str()) != 0) {
            }
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// `environment` entries replace variables of the same name; a missing value unsets it.
inline Outcome run(const std::vector<std::string> &arguments,
                   const std::map<std::string, std::optional<std::string>> &environment = {},
                   const std::string &input = std::string()) {
    TempDir scratch;
    const std::string in = scratch.path() + "/in", out = scratch.path() + "/out", err = scratch.path() + "/err";
    std::ofstream(in, std::ios::binary) << input;

    std::vector<std::string> variables;
    for (char **variable = environ; *variable; ++variable) {
        std::string entry = *variable;
        if (!environment.count(entry.substr(0, entry.find('=')))) variables.push_back(entry);
    }
    for (const auto &[name, value] : environment)
        if (value) variables.push_back(name + "=" + *value);

    std::vector<char *> argv, envp;
    for (const std::string &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    for (const std::string &variable : variables) envp.push_back(const_cast<char *>(variable.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Outcome outcome;
    pid_t pid;
    int started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
        outcome.err = std::string("posix_spawn: ") + strerror(started);
        return outcome;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    outcome.out = readFile(out);
    outcome.err = readFile(err);
    return outcome;
}

}  // namespace vorna_test

#endif
