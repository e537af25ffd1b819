// The input line buffer: cuts standard input into lines for a line handler.
#pragma once

constexpr unsigned int USERBUF_SIZE = 8192;  // bytes of the block
constexpr unsigned int USERBUF_FULL_LIMIT =
    8189;  // more held bytes than this without a newline is fatal

struct user_iobuf_s {
    char *buf;         // heap block of USERBUF_SIZE bytes; every byte from cur on is zero
    unsigned int cur;  // input bytes held at the front of buf, not yet handed on as lines
    int at_eof;        // truth value: the last read reported the end of the input
};
typedef struct user_iobuf_s user_iobuf;

// Receives one line (zero-terminated, without its newline) and the caller's data. The line lives
// in the buffer and is valid only until the handler returns.
typedef void (*handle_line)(char *line, void *cbdata);

// A new zero-filled buffer, owned by the caller (never released by the programs); nullptr when
// memory is short.
user_iobuf *create_userbuf();
// Reads once from fd and hands every complete line to handler. Ends the process with status -1
// when more than USERBUF_FULL_LIMIT bytes are held without a newline.
void process_user_input(int fd, user_iobuf *userbuf, handle_line handler, void *cbdata);
