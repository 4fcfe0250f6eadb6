#include "heap_policy.h"
#include "startup.h"

int main(int argc, char **argv) {
    bound_heap_retention();
    return ostrel_main(argc, argv);
}
