// Every place where an agent hands a command to the shell, checked against
// the reviewed list below. A command may be made only of fixed text, fixed
// paths (which tests may point elsewhere), formatted numbers and MAC bytes:
// never of text from the network, the script, the driver or the command
// line. A new call site, or a changed argument, fails here until it has been
// reviewed and added.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kSource = APM_SOURCE_DIR;

// file (from the source root) and the call's argument text, as written.
struct Site {
    std::string file, argument;
    bool operator<(const Site &o) const {
        return file != o.file ? file < o.file : argument < o.argument;
    }
};

const std::set<Site> kReviewed = {
    // The log's control file, folder and rotation: fixed paths.
    {"agent/debug_log.cpp", "(\"echo 1 > \" + control).c_str()"},
    {"agent/debug_log.cpp", "(\"cp \" + paths.current + \" \" + paths.previous).c_str()"},
    {"agent/debug_log.cpp", "(\"mkdir -p \" + log_paths.dir).c_str()"},
    // LEDs, the FAT marker, the Wi-Fi restart count, the update: fixed texts.
    {"agent/states.cpp", "\"echo flag >/tmp/flag\""},
    {"agent/states.cpp", "\"/sbin/iface_led.sh 6 &\""},
    {"agent/states.cpp", "\"/sbin/iface_led.sh 5 &\""},
    {"agent/run_reports.cpp", "kWifiCount, 4, &status"},
    {"agent/run_reports.cpp", "(\"rm \" + flag_path).c_str()"},
    {"agent/run_reports.cpp", "kUpdateCommand"},
    // The station file's line removal: a pattern of MAC bytes (%02x) and
    // the radio and WLAN numbers (%d), on a fixed path.
    {"agent/station_thread.cpp", "cmd.c_str()"},
    {"cloud/station_monitor.cpp", "cmd.c_str()"},
    // Link recovery, LEDs and the upgrade: fixed texts.
    {"cloud/run_loop.cpp", "\"disconnect.sh 5 &\""},
    {"cloud/states.cpp", "\"/sbin/iface_led.sh 5 &\""},
    {"cloud/states.cpp", "\"/sbin/iface_led.sh 6 &\""},
    {"cloud/bridge.cpp", "kUpgradeCommand"},
};

std::string read_file(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The text between the parenthesis at `open` and its match.
std::string argument_at(const std::string &text, size_t open) {
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        if (text[i] == '(') ++depth;
        if (text[i] == ')' && --depth == 0) return text.substr(open + 1, i - open - 1);
    }
    return text.substr(open + 1);
}

std::vector<fs::path> agent_sources() {
    std::vector<fs::path> out;
    for (const char *dir : {"agent", "cloud", "common"}) {
        if (!fs::exists(kSource / dir)) continue;
        for (const auto &e : fs::directory_iterator(kSource / dir)) {
            auto ext = e.path().extension();
            if (ext == ".cpp" || ext == ".h" || ext == ".c") out.push_back(e.path());
        }
    }
    return out;
}

TEST(ShellCallSites, EveryCommandOfTheAgentsIsAReviewedOne) {
    std::set<Site> found;
    const std::regex call(R"(\b(shell_run|shell_read)\s*\()");
    for (const fs::path &p : agent_sources()) {
        std::string text = read_file(p);
        std::string rel = fs::relative(p, kSource).string();
        for (auto it = std::sregex_iterator(text.begin(), text.end(), call);
             it != std::sregex_iterator(); ++it) {
            size_t open = static_cast<size_t>(it->position() + it->length() - 1);
            found.insert({rel, argument_at(text, open)});
        }
    }
    for (const Site &s : found)
        EXPECT_TRUE(kReviewed.count(s)) << "not reviewed: " << s.file << ": " << s.argument;
    for (const Site &s : kReviewed)
        EXPECT_TRUE(found.count(s)) << "gone (drop it from the list): " << s.file << ": "
                                    << s.argument;
}

// Only the shell seam starts processes: no agent unit calls the C library
// or the kernel for it directly.
TEST(ShellCallSites, NothingElseStartsAProcess) {
    const std::regex direct(R"(\b(system|popen|execl|execlp|execv|execvp|execve|posix_spawn)\s*\()");
    for (const fs::path &p : agent_sources()) {
        std::string text = read_file(p);
        std::smatch m;
        EXPECT_FALSE(std::regex_search(text, m, direct))
            << fs::relative(p, kSource).string() << ": " << m.str();
    }
}

}  // namespace
