#include "startup.h"

int main(int argc, char **argv) {
    return ostrel_main(argc, argv);
}
