// The two test programs run as processes: varnok (tracing line buffer) and pellis (debug list).
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

static constexpr double kWait = 10.0;  // seconds; a bound on waiting, never a speed requirement

static const std::string kIdleRead = "made it in!\nbefore while loop\nreturning\n";
static const std::string kEnter = "made it in!\n";

// The trace of one line handed to printline.
static std::string line_trace(const std::string &line) {
    return "starting while\nLINE:  " + line + "\nCBDATA:  Cows moo!\nstuck!!!\n";
}

// Waits until varnok has written at least as much as want; the output collected is returned in
// either case, for the assertion to show.
static std::string wait_for_output(ts::Process &p, const std::string &want) {
    p.wait_until([&] { return p.out.size() >= want.size(); }, kWait);
    return p.out;
}

// Waits until p has ended and both of its output pipes are closed. reap() runs in the predicate so
// that the exit is noticed even when the pipes closed before the process could be reaped.
static bool wait_ended(ts::Process &p) {
    return p.wait_until(
        [&] {
            p.reap();
            return p.exited && p.out_fd < 0 && p.err_fd < 0;
        },
        kWait);
}

TEST(Varnok, CompleteLinesOfOneWriteAreTracedAndPrinted) {
    ts::Process p = ts::spawn({ts::bin("varnok")});
    p.write_stdin("ab\ncd\n");
    /* the eleven lines, then the next call waiting in its read */
    std::string want = "made it in!\nbefore while loop\n" + line_trace("ab") + line_trace("cd") +
                       "returning\n" + kEnter;
    ASSERT_EQ(wait_for_output(p, want), want);
    /* an empty line */
    p.write_stdin("\n");
    want +=
        "before while loop\nstarting while\nLINE:  \nCBDATA:  Cows moo!\nstuck!!!\nreturning\n" +
        kEnter;
    EXPECT_EQ(wait_for_output(p, want), want);
    EXPECT_EQ(p.err, "");
}

TEST(Varnok, ZeroByteInALineDoesNotHideTheLinesBehindIt) {
    ts::Process p = ts::spawn({ts::bin("varnok")});
    p.write_stdin(std::string("ab\0cd\nef\n", 9));
    std::string want = "made it in!\nbefore while loop\n" + line_trace("ab") + line_trace("ef") +
                       "returning\n" + kEnter;
    EXPECT_EQ(wait_for_output(p, want), want);
}

TEST(Varnok, LineInTwoPiecesIsHandedOnAfterTheSecondRead) {
    ts::Process p = ts::spawn({ts::bin("varnok")});
    p.write_stdin("ab");
    /* the first read completes no line */
    std::string first = kIdleRead + kEnter;
    ASSERT_EQ(wait_for_output(p, first), first);
    p.write_stdin("cd\n");
    std::string want = first + "before while loop\n" + line_trace("abcd") + "returning\n" + kEnter;
    EXPECT_EQ(wait_for_output(p, want), want);
}

TEST(Varnok, KeepsCallingAtEndOfInputUntilKilled) {
    ts::Process p = ts::spawn({ts::bin("varnok")});
    /* a last line without its newline is never handed on */
    p.write_stdin("tail");
    std::string first = kIdleRead + kEnter;
    ASSERT_EQ(wait_for_output(p, first), first);
    p.close_stdin();

    auto count_idle = [&] {
        size_t n = 0;
        for (size_t at = p.out.find(kIdleRead); at != std::string::npos;
             at = p.out.find(kIdleRead, at + 1)) {
            n++;
        }
        return n;
    };
    ASSERT_TRUE(p.wait_until([&] { return count_idle() >= 50; }, kWait));
    EXPECT_FALSE(p.exited);
    p.kill_now();
    EXPECT_EQ(p.status, 128 + 9);  // ended by SIGKILL, not by itself

    /* after the first read, only whole or cut-off repetitions of the three idle lines */
    std::string rest = p.out.substr(kIdleRead.size());
    std::string repeated;
    while (repeated.size() < rest.size()) repeated += kIdleRead;
    EXPECT_EQ(rest, repeated.substr(0, rest.size()));
    EXPECT_THAT(p.out, Not(HasSubstr("LINE:")));
}

TEST(Varnok, PartialLineFillingTheBufferEndsWithStatus255) {
    ts::Process p = ts::spawn({ts::bin("varnok")});
    p.write_stdin(std::string(8190, 'x'));
    ASSERT_TRUE(wait_ended(p));
    EXPECT_EQ(p.status, 255);
    EXPECT_EQ(p.err, "process_user_input error:  buffer full;  line too long!\n");
    /* the buffer-full test comes right after the first trace line */
    EXPECT_THAT(p.out, EndsWith("returning\nmade it in!\n"));
    EXPECT_THAT(p.out, Not(HasSubstr("LINE:")));
}

TEST(Pellis, ListsItsOwnCategoriesOnStandardErrorAndExitsZero) {
    ts::Process p = ts::spawn({ts::bin("pellis")});
    p.close_stdin();
    ASSERT_TRUE(wait_ended(p));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err,
              "Debug values and definitions\n"
              "----------------------------\n"
              "    0  No debugging\n"
              "    1  Verbose error reporting\n"
              "    2  Debug initialization\n"
              "    4  Debug socket operations\n"
              "    8  Debug processes (fork/reap/etc)\n"
              "   16  Debug the vexlo sending code\n");
}
