#include "proc_figures.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <sstream>

namespace sim {
namespace {

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string first_line(const std::string &path) {
    std::ifstream f(path);
    std::string line;
    std::getline(f, line);
    return line;
}

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') out.emplace_back(e->d_name);
        closedir(d);
    }
    return out;
}

double schedstat_ns(const std::string &task_dir) {
    std::ifstream f(task_dir + "/schedstat");
    double ns = 0;
    return f >> ns ? ns : 0;
}

// cutime + cstime of /proc/PID/stat, in nanoseconds.
double children_cpu_ns(pid_t pid) {
    std::string text = slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double cutime = 0, cstime = 0;
    // After the name: state is field 3; cutime and cstime are fields 16 and 17.
    for (int n = 3; n <= 17 && fields >> field; ++n) {
        if (n == 16) cutime = std::atof(field.c_str());
        if (n == 17) cstime = std::atof(field.c_str());
    }
    return (cutime + cstime) * 1e9 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

double cpu_ns(pid_t pid, bool with_children) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    double total = with_children ? children_cpu_ns(pid) : 0;
    for (const auto &tid : entries(dir)) total += schedstat_ns(dir + "/" + tid);
    return total;
}

std::map<std::string, double> thread_cpu_ns(pid_t pid) {
    std::map<std::string, double> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto &tid : entries(dir))
        out[first_line(dir + "/" + tid + "/comm")] += schedstat_ns(dir + "/" + tid);
    return out;
}

long private_dirty_kb(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(f, line);)
        if (line.compare(0, 14, "Private_Dirty:") == 0) return std::atol(line.c_str() + 14);
    return -1;
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    std::string base = "/proc/" + std::to_string(pid) + "/task/";
    for (const auto &tid : entries(base)) {
        std::istringstream in(slurp(base + tid + "/children"));
        for (pid_t child; in >> child;) out.push_back(child);
    }
    return out;
}

pid_t find_descendant(pid_t pid, const std::string &comm) {
    std::deque<pid_t> todo = {pid};
    while (!todo.empty()) {
        pid_t p = todo.front();
        todo.pop_front();
        for (pid_t child : children_of(p)) {
            if (first_line("/proc/" + std::to_string(child) + "/comm") == comm) return child;
            todo.push_back(child);
        }
    }
    return -1;
}

}  // namespace sim
