// A failure's one-line reason, written into the caller's buffer: the modules that report why
// they refused something (a link, a file list, a key file, a chunk index) all do it this way.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

// Writes the reason into why (why_size bytes, cut to fit); -1, the failure's return value.
[[gnu::format(printf, 3, 4)]] inline int fail_why(char *why, size_t why_size, const char *fmt,
                                                  ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(why, why_size, fmt, ap);
    va_end(ap);
    return -1;
}
