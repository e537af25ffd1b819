// The process-wide debug mask, its named categories, and the one logging gate.
#pragma once

// Debug categories (bit values of the mask).
constexpr unsigned int DEBUG_NONE = 0;
constexpr unsigned int DEBUG_ERRS = 1;     // verbose error reporting
constexpr unsigned int DEBUG_WHOHAS = 2;   // WHOHAS, IHAVE, GET scheduling
constexpr unsigned int DEBUG_SEQ = 4;      // received seq and ack numbers
constexpr unsigned int DEBUG_LOSS = 8;     // loss related code
constexpr unsigned int DEBUG_WINDOW = 16;  // changes to the sending window
constexpr unsigned int DEBUG_ALL = 32;     // lots of debug output
constexpr unsigned int DEBUG_VEXLO = 64;   // the shim's sending code

struct debug_def_s {
    int debug_val;          // the bit value
    const char *debug_def;  // description; nullptr ends the table
};
typedef struct debug_def_s debug_def;

// The mask; 0 at start, only set_debug changes it.
extern unsigned int debug;

// ORs the leading decimal value of arg into debug and returns 0; lists the categories on standard
// error and returns -1 for "list" or an argument starting with '?'; returns -1 for null or empty.
int set_debug(const char *arg);

// Writes the formatted message to standard error when any bit of mask is set in debug; the bits
// are tested before anything is formatted.
[[gnu::format(printf, 2, 3)]] void debug_log(unsigned int mask, const char *fmt, ...);
// The leading decimal number of text as atoi reads it (0 when there is none), minus atoi's
// undefined behaviour on values out of range: strtol saturates and the narrowing to int wraps.
int leading_decimal(const char *text);
