// Start-up of ostrel: buffers, script, queue, mutexes, station monitor, the
// reboot flag and ApMode; then the state loop.
#pragma once

constexpr const char *kScriptPath = "/usr/lib/lua/ostrel.lua";

// Start-up steps up to the state loop, with the script at `script_path`:
// 0, or -1 after printing why.
int ostrel_start(int argc, char **argv, const char *script_path = kScriptPath);
// The program: line-buffered standard output, start-up, the state loop.
// Returns -1 when start-up fails, otherwise never.
int ostrel_main(int argc, char **argv);
