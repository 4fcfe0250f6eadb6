#include "agent_figures.h"

#include <dirent.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace faults {
namespace {

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Numbered entries of a /proc folder.
std::vector<int> numbered_entries(const std::string &dir) {
    std::vector<int> out;
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d)) {
        char *end = nullptr;
        long n = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0') out.push_back(static_cast<int>(n));
    }
    closedir(d);
    return out;
}

// The parent pid from /proc/PID/stat (the name in parentheses may hold
// spaces and parentheses itself: the fields start after the last ')').
int parent_of(int pid) {
    std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    int ppid = -1;
    rest >> state >> ppid;
    return ppid;
}

// The number after `key` in a "Key:   value" file, or -1.
long field(const std::string &text, const std::string &key) {
    size_t at = text.find("\n" + key);
    if (text.compare(0, key.size(), key) == 0)
        at = 0;
    else if (at != std::string::npos)
        ++at;
    if (at == std::string::npos) return -1;
    return std::strtol(text.c_str() + at + key.size(), nullptr, 10);
}

}  // namespace

int find_agent_pid(int launcher_pid, const std::string &comm) {
    std::multimap<int, int> children;
    for (int pid : numbered_entries("/proc")) children.emplace(parent_of(pid), pid);
    std::deque<int> todo = {launcher_pid};
    while (!todo.empty()) {
        int pid = todo.front();
        todo.pop_front();
        auto range = children.equal_range(pid);
        for (auto it = range.first; it != range.second; ++it) {
            std::string name = slurp("/proc/" + std::to_string(it->second) + "/comm");
            if (!name.empty() && name.back() == '\n') name.pop_back();
            if (name == comm) return it->second;
            todo.push_back(it->second);
        }
    }
    return -1;
}

bool read_figures(int pid, Figures &out) {
    std::string base = "/proc/" + std::to_string(pid);
    std::string status = slurp(base + "/status");
    std::string rollup = slurp(base + "/smaps_rollup");
    if (status.empty() || rollup.empty()) return false;
    out.threads = static_cast<int>(field(status, "Threads:"));
    out.private_dirty_kb = field(rollup, "Private_Dirty:");
    auto fds = numbered_entries(base + "/fd");
    out.fds = static_cast<int>(fds.size());
    return out.threads > 0 && out.private_dirty_kb >= 0 && !fds.empty();
}

std::string describe(const Figures &f) {
    return "threads " + std::to_string(f.threads) + ", fds " + std::to_string(f.fds) +
           ", Private_Dirty " + std::to_string(f.private_dirty_kb) + " kB";
}

}  // namespace faults
