#include "shell_recorder.h"

#include "shell.h"

namespace plat {
namespace {

ShellRecorder *current = nullptr;

int rec_run(const char *command) {
    return current->on_run(command);
}
std::string rec_read(const char *command, size_t limit, int *status) {
    return current->on_read(command, limit, status);
}
const ShellOps recorder_ops = {rec_run, rec_read};

}  // namespace

ShellRecorder::ShellRecorder() {
    current = this;
    set_shell(&recorder_ops);
}

ShellRecorder::~ShellRecorder() {
    set_shell(nullptr);
    current = nullptr;
}

void ShellRecorder::answer(const std::string &prefix, const std::string &output, int status) {
    std::lock_guard<std::mutex> lock(mu_);
    answers_.push_back({prefix, output, status});
}

std::vector<std::string> ShellRecorder::commands() const {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
}

void ShellRecorder::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.clear();
}

void ShellRecorder::clear_answers() {
    std::lock_guard<std::mutex> lock(mu_);
    answers_.clear();
}

const ShellRecorder::Answer *ShellRecorder::find(const std::string &command) const {
    for (const auto &a : answers_)
        if (command.compare(0, a.prefix.size(), a.prefix) == 0) return &a;
    return nullptr;
}

int ShellRecorder::on_run(const char *command) {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back(command);
    const Answer *a = find(command);
    return a ? a->status : 0;
}

std::string ShellRecorder::on_read(const char *command, size_t limit, int *status) {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back(command);
    const Answer *a = find(command);
    if (status) *status = a ? a->status : 0;
    return a ? a->output.substr(0, limit) : std::string();
}

}  // namespace plat
