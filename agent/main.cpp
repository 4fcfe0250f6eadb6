#include "startup.h"

int main() {
    return fenwire_main();
}
