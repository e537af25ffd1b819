// The input line buffer, fed through a pipe the way standard input feeds it.
#include "engine/input_buffer.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

static const char kBufferFull[] = "process_user_input error:  buffer full;  line too long!\n";

// A buffer and the pipe that feeds it; the lines handed back are collected in order.
struct LinePipe {
    int rd = -1;
    int wr = -1;
    user_iobuf *u = create_userbuf();
    std::vector<std::string> lines;

    LinePipe() {
        int fds[2];
        if (pipe(fds) != 0 || u == nullptr) abort();
        rd = fds[0];
        wr = fds[1];
    }
    ~LinePipe() {
        close(rd);
        if (wr >= 0) close(wr);
        free(u->buf);
        free(u);
    }
    LinePipe(const LinePipe &) = delete;
    LinePipe &operator=(const LinePipe &) = delete;

    void write_bytes(const std::string &bytes) {
        ASSERT_EQ(write(wr, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void close_writer() {
        close(wr);
        wr = -1;
    }
};

static void collect_line(char *line, void *cbdata) {
    static_cast<LinePipe *>(cbdata)->lines.emplace_back(line);
}

// One call, as the event loop makes it when the pipe is readable.
static void pass(LinePipe &p) {
    process_user_input(p.rd, p.u, collect_line, &p);
}

// True when every byte from cur to the end of the block is zero.
static bool tail_is_zero(const user_iobuf *u) {
    for (unsigned int i = u->cur; i < USERBUF_SIZE; i++) {
        if (u->buf[i] != '\0') return false;
    }
    return true;
}

TEST(InputBuffer, LinesAreHandedOnWhenTheirNewlineArrives) {
    LinePipe p;
    /* a line in two pieces: nothing until the newline */
    p.write_bytes("GET a.chunks");
    pass(p);
    EXPECT_THAT(p.lines, IsEmpty());
    EXPECT_EQ(p.u->cur, 12u);
    EXPECT_STREQ(p.u->buf, "GET a.chunks");
    p.write_bytes(" out.dat\n");
    pass(p);
    EXPECT_THAT(p.lines, ElementsAre("GET a.chunks out.dat"));
    EXPECT_EQ(p.u->cur, 0u);

    /* several lines in one read, an empty one among them; the rest waits */
    p.write_bytes("ab\n\ncd\nef");
    pass(p);
    EXPECT_EQ(0, p.u->at_eof);
    EXPECT_THAT(p.lines, ElementsAre("GET a.chunks out.dat", "ab", "", "cd"));
    EXPECT_STREQ(p.u->buf, "ef");

    /* end of input leaves the held bytes alone, and is noted */
    p.close_writer();
    pass(p);
    EXPECT_EQ(1, p.u->at_eof);
    EXPECT_EQ(p.lines.size(), 4u);
    EXPECT_EQ(p.u->cur, 2u);
    EXPECT_STREQ(p.u->buf, "ef");
}

TEST(InputBuffer, BytesFromCurToTheEndStayZero) {
    LinePipe p;
    EXPECT_TRUE(tail_is_zero(p.u));
    /* a long line before a short remainder: the old line's bytes must not linger */
    p.write_bytes("abcdefghijklmnop\nxy");
    pass(p);
    EXPECT_EQ(p.u->cur, 2u);
    EXPECT_TRUE(tail_is_zero(p.u));
    /* nor be glued to the remainder when it completes */
    p.write_bytes("z\n");
    pass(p);
    EXPECT_THAT(p.lines, ElementsAre("abcdefghijklmnop", "xyz"));
    EXPECT_TRUE(tail_is_zero(p.u));
}

TEST(InputBuffer, LongestLinesThatFit) {
    /* 8190 characters and the newline into an empty buffer */
    LinePipe a;
    std::string line(8190, 'a');
    a.write_bytes(line + "\n");
    pass(a);
    EXPECT_THAT(a.lines, ElementsAre(line));
    EXPECT_TRUE(tail_is_zero(a.u));

    /* 8189 held without a newline still allows the read that completes the line */
    LinePipe b;
    b.write_bytes(std::string(8189, 'b'));
    pass(b);
    b.write_bytes("c\n");
    pass(b);
    EXPECT_THAT(b.lines, ElementsAre(std::string(8189, 'b') + "c"));

    /* a read never fills the block's last byte */
    LinePipe c;
    c.write_bytes(std::string(9000, 'd'));
    pass(c);
    EXPECT_EQ(c.u->cur, USERBUF_SIZE - 1);
    EXPECT_EQ(c.u->buf[USERBUF_SIZE - 1], '\0');
}

// In the exiting cases the writer is closed first, so that a faulty buffer that reads again
// meets end of input instead of waiting on its own pipe.
TEST(InputBufferDeathTest, FullBufferEndsTheProcessAtTheNextCall) {
    /* 8190 characters without a newline: stored by one call, fatal at the next */
    EXPECT_EXIT(
        {
            LinePipe p;
            p.write_bytes(std::string(8190, 'e'));
            pass(p);
            if (p.u->cur != 8190u || !p.lines.empty()) _exit(3);
            p.close_writer();
            pass(p);
        },
        ::testing::ExitedWithCode(255), ::testing::Eq(std::string(kBufferFull)));
    /* the newline waits in the pipe, but the check comes before the read */
    EXPECT_EXIT(
        {
            LinePipe p;
            p.write_bytes(std::string(8191, 'f') + "\n");
            p.close_writer();
            pass(p);
            pass(p);
        },
        ::testing::ExitedWithCode(255), ::testing::Eq(std::string(kBufferFull)));
}
