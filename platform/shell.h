// Shell commands as the agents run them: system() for commands whose output
// is not read, popen() for those whose output is. Tests swap in a recorder
// (shell_recorder.h) that keeps the exact command texts and answers as told.
#pragma once

#include <string>

namespace plat {

struct ShellOps {
    int (*run)(const char *command);  // as system(): the wait status
    // As popen()+read+pclose: the command's standard output, at most `limit`
    // bytes of it; *status gets the wait status, or -1 only when the command
    // could not be started.
    std::string (*read)(const char *command, size_t limit, int *status);
};

int shell_run(const char *command);
std::string shell_read(const char *command, size_t limit, int *status = nullptr);

// Replaces the shell for the whole process (nullptr: the real one again).
// Not thread-safe: install before the threads that use it start.
void set_shell(const ShellOps *ops);

}  // namespace plat
