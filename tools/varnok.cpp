// varnok: feeds standard input through the tracing build of the input line buffer and prints
// every line it hands back, with the callback data. It never ends by itself.
#include <cstdio>
#include <cstdlib>

#include "engine/input_buffer.h"

// The line handler: the line and the caller's data, each on a line of its own.
static void printline(char *line, void *cbdata) {
    printf("LINE:  %s\n", line);
    printf("CBDATA:  %s\n", static_cast<const char *>(cbdata));
}

int main() {
    // Every trace and output line is flushed as it ends, so a reader on a pipe sees each step
    // as it happens rather than when a full stdio block has gathered.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    user_iobuf *u = create_userbuf();
    // Checked in every build type, not only where assert is compiled in.
    if (u == nullptr) {
        fputs("varnok: assertion \"u != NULL\" failed\n", stderr);
        abort();
    }
    char cbdata[] = "Cows moo!";
    for (;;) process_user_input(0, u, printline, cbdata);
}
