#include "heap_policy.h"
#include "startup.h"

int main() {
    bound_heap_retention();
    return fenwire_main();
}
