// The command loop of a simulator's main: runs each line read from standard
// input (one command per line, piped input read whole), keeps waiting after
// the input ends, and returns when `stop` is set (by a signal handler).
#pragma once

#include <csignal>
#include <functional>
#include <string>

namespace sim {

// `run` returns false for a line it does not know; `name` prefixes the
// complaint on standard error.
void serve_commands(const char *name, const std::function<bool(const std::string &)> &run,
                    const volatile std::sig_atomic_t &stop);

}  // namespace sim
