#include "command.h"

int main(int argc, char *argv[]) {
    return ciphrex_command(argc, argv);
}
