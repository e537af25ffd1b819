// pellis: asks the debug-flag parser, built over its own category table, for the list of
// categories and checks the result code that a listing request must give.
#include <cstdio>

#include "config/debug.h"

int main() {
    if (set_debug("?") != -1) fputs("set_debug(\"?\") returned wrong result code\n", stderr);
    return 0;
}
