// What /proc tells of a running process: CPU time, private memory, its
// children. Every reader returns 0 (or nothing) for a process that is gone.
#pragma once

#include <sys/types.h>
#include <map>
#include <string>
#include <vector>

namespace sim {

// CPU time of every thread of `pid` (the first field of each thread's
// schedstat), in nanoseconds; with the commands it ran and waited for
// (cutime and cstime of its stat) when `with_children`.
double cpu_ns(pid_t pid, bool with_children = true);
// CPU time of the threads of `pid` by thread name, in nanoseconds (a thread
// takes the name its creator had when it was made).
std::map<std::string, double> thread_cpu_ns(pid_t pid);
// Private_Dirty of smaps_rollup, in kB (-1 when it cannot be read).
long private_dirty_kb(pid_t pid);
std::vector<pid_t> children_of(pid_t pid);
// The first process below `pid` whose name is `comm` (-1: none).
pid_t find_descendant(pid_t pid, const std::string &comm);

}  // namespace sim
