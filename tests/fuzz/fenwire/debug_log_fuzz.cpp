// The whole log path with folding on: any bytes as the log so far, then one
// message logged into it. Input: the log, a NUL, the message.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "debug_log.h"
#include "fuzz_support.h"
#include "shell_recorder.h"

namespace {

DebugLogPaths paths;
plat::ShellRecorder *shell = nullptr;

void write_file(const std::string &path, const std::string &text) {
    FILE *fp = std::fopen(path.c_str(), "w");
    FUZZ_CHECK(fp);
    std::fwrite(text.data(), 1, text.size(), fp);
    std::fclose(fp);
}

long file_size(const std::string &path) {
    FILE *fp = std::fopen(path.c_str(), "r");
    FUZZ_CHECK(fp);
    std::fseek(fp, 0, SEEK_END);
    long n = std::ftell(fp);
    std::fclose(fp);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("TZ", "UTC", 1);
    const std::string dir = fuzz::make_temp_dir("debug-log-fuzz");
    paths.control = dir + "/mqtt_debug_enable";
    paths.dir = dir;
    paths.current = dir + "/mqttlog.new";
    paths.previous = dir + "/mqttlog.old";
    write_file(paths.control, "1\n");
    debug_log_set_paths(paths);
    shell = new plat::ShellRecorder;  // lives as long as the process
    init_debug_info();
    debug_com_en = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    std::size_t cut = input.find('\0');
    std::string log = input.substr(0, cut);
    std::string msg = cut == std::string::npos ? "" : input.substr(cut + 1);
    write_file(paths.current, log);
    _debug("utils", "fuzz", 1, "%s", msg.c_str());
    // A fold rewrites at most the last line; an append only adds.
    long after = file_size(paths.current);
    long line_max = kDebugLineBuf - 1;
    FUZZ_CHECK(after >= static_cast<long>(log.size()) - line_max);
    shell->clear();
    return 0;
}
