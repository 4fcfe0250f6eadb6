// Points the agent's log at a fresh folder (logging switched on, UTC time
// stamps) for one test; the folder is removed when the object goes away.
#pragma once

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "debug_log.h"

class TempLog {
  public:
    explicit TempLog(const char *prefix = "fenwire-test") {
        setenv("TZ", "UTC", 1);
        tzset();
        std::string tmpl = "/tmp/" + std::string(prefix) + "-XXXXXX";
        dir_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
        paths_.control = dir_ + "/mqtt_debug_enable";
        paths_.dir = dir_ + "/log";
        paths_.current = dir_ + "/log/mqttlog.new";
        paths_.previous = dir_ + "/log/mqttlog.old";
        std::filesystem::create_directories(paths_.dir);
        std::ofstream(paths_.control) << "1\n";
        debug_log_set_paths(paths_);
    }
    ~TempLog() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempLog(const TempLog &) = delete;
    TempLog &operator=(const TempLog &) = delete;

    const std::string &dir() const { return dir_; }  // a folder the test may use too
    const std::string &path() const { return paths_.current; }

  private:
    std::string dir_;
    DebugLogPaths paths_;
};
