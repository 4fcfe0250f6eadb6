// A shell for tests: records every command text in order and answers from a
// table of prefixes (first match wins); unmatched commands succeed silently.
// Only one ShellRecorder may exist at a time.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace plat {

class ShellRecorder {
  public:
    ShellRecorder();
    ~ShellRecorder();
    ShellRecorder(const ShellRecorder &) = delete;
    ShellRecorder &operator=(const ShellRecorder &) = delete;

    // Commands starting with `prefix` answer `output` and exit `status`.
    void answer(const std::string &prefix, const std::string &output, int status = 0);
    std::vector<std::string> commands() const;
    void clear();          // forgets the commands recorded so far
    void clear_answers();  // forgets the answers given so far

    // Used by the installed shell hooks.
    int on_run(const char *command);
    std::string on_read(const char *command, size_t limit, int *status);

  private:
    struct Answer {
        std::string prefix, output;
        int status;
    };
    const Answer *find(const std::string &command) const;
    mutable std::mutex mu_;
    std::vector<std::string> commands_;
    std::vector<Answer> answers_;
};

}  // namespace plat
