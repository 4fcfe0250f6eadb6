// What an agent running in a sandbox costs, read from the host: its process
// (found below the sandbox launcher), threads, open descriptors and private
// dirty memory.
#pragma once

#include <string>

namespace faults {

struct Figures {
    int threads = -1;
    int fds = -1;
    long private_dirty_kb = -1;
};

// The host pid of the first process below `launcher_pid` (nearest first)
// whose /proc/PID/comm is `comm`; -1 when there is none. The launcher runs
// the sandbox's init, which runs the program in a PID namespace of its own,
// so the program is a grandchild; a child the program forked for a shell
// command carries the same name until it execs, but lies deeper.
int find_agent_pid(int launcher_pid, const std::string &comm);

// Threads (/proc/PID/status), entries of /proc/PID/fd and Private_Dirty of
// /proc/PID/smaps_rollup; false when the process is gone.
bool read_figures(int pid, Figures &out);

std::string describe(const Figures &f);

}  // namespace faults
