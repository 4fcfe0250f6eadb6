#include "physreg.h"

int main(int argc, char **argv) {
    return physreg::physreg_main(argc, argv);
}
