#include "engine/input_buffer.h"

#include <unistd.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// At or below the full limit a read still has room for a last character and its newline, without
// touching the block's final byte.
static_assert(USERBUF_SIZE - 1 - USERBUF_FULL_LIMIT >= 2);

// The varnok build traces each step of the buffer on standard output; the peer's build is silent.
#if defined(INPUT_BUFFER_TRACE) && INPUT_BUFFER_TRACE
static void trace(const char *step) {
    fputs(step, stdout);
}
#else
static void trace(const char *) {}
#endif

user_iobuf *create_userbuf() {
    auto *userbuf = static_cast<user_iobuf *>(malloc(sizeof(user_iobuf)));
    if (userbuf == nullptr) return nullptr;
    userbuf->buf = static_cast<char *>(calloc(USERBUF_SIZE, 1));
    if (userbuf->buf == nullptr) {
        free(userbuf);
        return nullptr;
    }
    userbuf->cur = 0;
    userbuf->at_eof = 0;
    return userbuf;
}

// One read appended behind the held bytes. The request stops one byte short of the block so the
// held bytes always end in a zero; end of input and read errors leave the buffer as it was.
static void read_once(int fd, user_iobuf *userbuf) {
    ssize_t got = read(fd, userbuf->buf + userbuf->cur, USERBUF_SIZE - 1 - userbuf->cur);
    if (got > 0) userbuf->cur += static_cast<unsigned int>(got);
    userbuf->at_eof = got == 0;
}

// Removes a line of line_len bytes and its newline from the front. Clearing the bytes vacated
// behind the moved rest keeps every byte from cur to the end of the block zero.
static void drop_first_line(user_iobuf *userbuf, unsigned int line_len) {
    unsigned int used = line_len + 1;
    assert(used <= userbuf->cur);
    unsigned int rest = userbuf->cur - used;
    memmove(userbuf->buf, userbuf->buf + used, rest);
    memset(userbuf->buf + rest, 0, used);
    userbuf->cur = rest;
}

void process_user_input(int fd, user_iobuf *userbuf, handle_line handler, void *cbdata) {
    trace("made it in!\n");
    assert(userbuf != nullptr && userbuf->buf != nullptr && handler != nullptr);
    // Checked before reading: a partial line that already fills the buffer cannot be completed.
    if (userbuf->cur > USERBUF_FULL_LIMIT) {
        fputs("process_user_input error:  buffer full;  line too long!\n", stderr);
        exit(-1);
    }
    read_once(fd, userbuf);
    trace("before while loop\n");
    // Only the held bytes are searched: a zero byte among them (a stray NUL typed or piped in)
    // must not hide the newlines behind it.
    char *newline;
    while ((newline = static_cast<char *>(memchr(userbuf->buf, '\n', userbuf->cur))) != nullptr) {
        trace("starting while\n");
        auto line_len = static_cast<unsigned int>(newline - userbuf->buf);
        *newline = '\0';
        handler(userbuf->buf, cbdata);
        drop_first_line(userbuf, line_len);
        trace("stuck!!!\n");
    }
    trace("returning\n");
}
