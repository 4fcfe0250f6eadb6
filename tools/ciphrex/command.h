// The ciphrex command: prints the six-character code of its one argument.
#pragma once

// Main routine of the program; always returns exit status 0.
int ciphrex_command(int argc, const char *const argv[]);
