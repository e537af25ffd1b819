// The debug mask parser and the logging gate.
#include "config/debug.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

// What fn writes to standard error.
static std::string capture_stderr(const std::function<void()> &fn) {
    ts::TempDir dir;
    std::string path = dir.file("stderr");
    int sink = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int saved = dup(2);
    dup2(sink, 2);
    close(sink);
    fn();
    dup2(saved, 2);
    close(saved);
    return ts::read_file(path);
}

static const std::string kCategories =
    "Debug values and definitions\n"
    "----------------------------\n"
    "    0  No debugging\n"
    "    1  Verbose error reporting\n"
    "    2  Debug WHOHAS, IHAVE\n"
    "    4  print received seq and ack nums\n"
    "    8  Debug loss related code\n"
    "   16  Debug changes to sending window\n"
    "   32  Lots of debug output\n"
    "   64  Debug the vexlo sending code\n";

TEST(SetDebug, EachArgumentFormGivesItsResultMaskAndText) {
    struct Case {
        const char *arg;
        int result;
        unsigned int mask;  // starting from 32
        std::string err;
    };
    const Case cases[] = {
        {"3", 0, 35, ""},           {"12abc", 0, 44, ""},
        {"0x10", 0, 32, ""},        {"foo", 0, 32, ""},
        {"-1", 0, 32, ""},          {" 8", 0, 32, ""},
        {"listx", 0, 32, ""},       {"", -1, 32, ""},
        {nullptr, -1, 32, ""},      {"list", -1, 32, kCategories},
        {"?", -1, 32, kCategories}, {"?x", -1, 32, kCategories},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arg == nullptr ? "(null)" : c.arg);
        debug = 32;
        int result = 0;
        EXPECT_EQ(capture_stderr([&] { result = set_debug(c.arg); }), c.err);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(debug, c.mask);
    }
}

TEST(SetDebug, BitsAccumulateOverCalls) {
    debug = 0;
    EXPECT_EQ(set_debug("3"), 0);
    EXPECT_EQ(set_debug("4"), 0);
    EXPECT_EQ(set_debug("1"), 0);
    EXPECT_EQ(debug, 7u);
}

TEST(DebugLog, WritesOnlyWhenABitOfTheMaskIsSet) {
    debug = DEBUG_WHOHAS | DEBUG_LOSS;
    /* bit clear, or no bit asked for: nothing at all */
    EXPECT_EQ(capture_stderr([] { debug_log(DEBUG_ERRS, "errs %d\n", 1); }), "");
    EXPECT_EQ(capture_stderr([] { debug_log(DEBUG_NONE, "none\n"); }), "");
    /* one bit, and either of two bits */
    EXPECT_EQ(capture_stderr([] { debug_log(DEBUG_WHOHAS, "got %s from %d\n", "IHAVE", 3); }),
              "got IHAVE from 3\n");
    EXPECT_EQ(capture_stderr([] { debug_log(DEBUG_ALL | DEBUG_LOSS, "loss %.1f\n", 1.5); }),
              "loss 1.5\n");
    /* empty mask */
    debug = 0;
    EXPECT_EQ(capture_stderr([] { debug_log(0xffffffffu, "any\n"); }), "");
}
