#include "config/debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

unsigned int debug = 0;

// The category table that "-d list" prints; the row with a null text ends it. pellis carries the
// same parser over a table of its own, selected when this file is built for it.
#if defined(DEBUG_TABLE_PELLIS) && DEBUG_TABLE_PELLIS
static const debug_def debugs[] = {
    {0, "No debugging"},
    {1, "Verbose error reporting"},
    {2, "Debug initialization"},
    {4, "Debug socket operations"},
    {8, "Debug processes (fork/reap/etc)"},
    {16, "Debug the vexlo sending code"},
    {0, nullptr},
};
#else
static const debug_def debugs[] = {
    {0, "No debugging"},
    {1, "Verbose error reporting"},
    {2, "Debug WHOHAS, IHAVE"},
    {4, "print received seq and ack nums"},
    {8, "Debug loss related code"},
    {16, "Debug changes to sending window"},
    {32, "Lots of debug output"},
    {64, "Debug the vexlo sending code"},
    {0, nullptr},
};
#endif

static void list_debug_categories() {
    fputs("Debug values and definitions\n----------------------------\n", stderr);
    for (const debug_def *row = debugs; row->debug_def != nullptr; row++) {
        fprintf(stderr, "%5d  %s\n", row->debug_val, row->debug_def);
    }
}

int leading_decimal(const char *text) {
    return static_cast<int>(strtol(text, nullptr, 10));
}

int set_debug(const char *arg) {
    if (arg == nullptr || arg[0] == '\0') return -1;
    if (arg[0] == '?' || strcmp(arg, "list") == 0) {
        list_debug_categories();
        return -1;
    }
    // Only an argument that starts with a digit adds bits; "0x10", "foo" or "-1" are accepted
    // and leave the mask as it was.
    if (arg[0] >= '0' && arg[0] <= '9') debug |= static_cast<unsigned int>(leading_decimal(arg));
    return 0;
}

void debug_log(unsigned int mask, const char *fmt, ...) {
    if ((debug & mask) == 0) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}
