// The progress display: off unless asked for (or on a terminal), the line, the warning for
// chunks nobody announced, and the summary.
#include "engine/progress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/chunklist.h"
#include "engine_fixture.h"
#include "shim/vexlo.h"
#include "test_support.h"

using ef::Engine;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

namespace {

// Peer 1 downloading three chunks, with peers 2 and 3 on test sockets.
struct Download {
    Engine e{2};
    explicit Download(int mode) {
        e.config.progress_mode = mode;
        progress_init(&e.config);
        ef::fetch(&e.config, {ef::hash_of(0), ef::hash_of(1), ef::hash_of(2)});
        progress_download_started(&e.config, now_seconds());
    }
    ~Download() { progress_free(&e.config); }
    std::string tick(double now) {
        CaptureStderr();
        progress_tick(&e.config, now);
        return GetCapturedStderr();
    }
    // Chunk n arrived whole from peer `from` and was written.
    void written(int n, int from) {
        progress_chunk_written(&e.config, e.peer(from), CHUNK_SIZE);
        fetchlist_remove(&e.config,
                         chunklist_find_hash(e.config.to_fetch_list, ef::u8(ef::hash_of(n))));
    }
};

}  // namespace

TEST(Progress, OffUnlessAskedForWhenStandardErrorIsNoTerminal) {
    Download d(PROGRESS_AUTO);
    EXPECT_EQ(nullptr, d.e.config.progress);
    EXPECT_EQ("", d.tick(now_seconds() + 60));
    Download off(PROGRESS_OFF);
    EXPECT_EQ(nullptr, off.e.config.progress);
}

TEST(Progress, LineWarningAndSummary) {
    Download d(PROGRESS_ON);
    ASSERT_NE(nullptr, d.e.config.progress);
    double start = d.e.config.progress->start;
    ef::announce(&d.e.config, d.e.peer(2), {ef::hash_of(0)});

    /* nothing written yet: no line; two chunks unannounced, but not for 10 s */
    EXPECT_EQ("", d.tick(start + 5));
    std::string warned = d.tick(start + UNANNOUNCED_WARNING_S + 0.5);
    std::string asked = "asked peers 3 (127.0.0.1:" + std::to_string(d.e.sock_of(3).port) +
                        "), 2 (127.0.0.1:" + std::to_string(d.e.sock_of(2).port) + ")\n";
    EXPECT_THAT(warned, HasSubstr("warning: 2 of 3 chunks still to fetch have had no announcing "
                                  "peer for 10 s; " +
                                  asked));
    /* once per stretch */
    EXPECT_EQ("", d.tick(start + 20));

    /* a chunk written: a line; retransmissions since the GET */
    d.written(0, 2);
    d.e.config.retransmissions += 4;
    EXPECT_THAT(d.tick(start + 21), HasSubstr("1/3 chunks  0.5 MiB"));
    EXPECT_THAT(d.tick(start + 22.5), Not(HasSubstr("chunks")));  // no news, no line

    /* announced at last: a new stretch may warn again later */
    ef::announce(&d.e.config, d.e.peer(3), {ef::hash_of(1), ef::hash_of(2)});
    EXPECT_EQ("", d.tick(start + 24));
    EXPECT_EQ(0, d.e.config.progress->unannounced_since);

    d.written(1, 3);
    d.written(2, 3);
    progress_hash_failed(&d.e.config);
    CaptureStderr();
    progress_download_ended(&d.e.config, true, now_seconds());
    std::string summary = GetCapturedStderr();
    EXPECT_THAT(summary, HasSubstr("summary: 1572864 bytes in "));
    EXPECT_THAT(summary,
                HasSubstr("; chunks per peer: 3:2 2:1; hash failures: 1; retransmissions: 4\n"));
    /* later hooks of an ended download write nothing */
    EXPECT_EQ("", d.tick(start + 60));
}

TEST(Progress, SummaryEndsWithTheSocketDropsOfTheDownload) {
    ts::UdpSocket sender, self;
    if (vexlo_count_drops(self.fd) != 0) GTEST_SKIP() << "the kernel reports no drop count";
    giVexloPassNotices = 0;
    /* drops before the GET are not the download's */
    ASSERT_GT(ts::overflow_through_shim(sender, self, 40, "", false), 0);
    Download d(PROGRESS_ON);
    int lost = ts::overflow_through_shim(sender, self, 64, "", true);
    ASSERT_GT(lost, 0);
    CaptureStderr();
    progress_download_ended(&d.e.config, false, now_seconds());
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("; retransmissions: 0; socket drops: " + std::to_string(lost) + "\n"));
}

// The front end's line counts the whole file: a resumed download starts at what was there, and
// the rate and the time left count only what this download fetched.
TEST(Progress, WholeFileLineOfAResumedDownload) {
    Download d(PROGRESS_ON);  // three chunks to fetch
    progress_count_whole_file(&d.e.config, 6, 3LL * CHUNK_SIZE);
    double start = d.e.config.progress->start;
    d.e.peer(2)->receiving_chunk = d.e.config.to_fetch_list->next;  // fetching chunk 1
    d.written(0, 2);
    d.e.config.retransmissions += 1;
    /* one chunk of 0.5 MiB in 2 s: 2 chunks left take 4 s more */
    EXPECT_THAT(d.tick(start + 2),
                HasSubstr("66%  4/6 chunks  2.0 of 3.0 MiB  0.3 MB/s  ETA 4 s  1 connection  "
                          "1 retransmission  2 s"));
    d.e.peer(2)->receiving_chunk = nullptr;
    CaptureStderr();
    progress_download_ended(&d.e.config, false, start + 3);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("summary (aborted): 524288 bytes in "));

    /* the peer's own line is not changed by it */
    Download peer(PROGRESS_ON);
    peer.written(0, 2);
    EXPECT_THAT(peer.tick(peer.e.config.progress->start + 1),
                HasSubstr("1/3 chunks  0.5 MiB  0.5 MB/s  0 connections  0 retransmissions  1 s"));
}
