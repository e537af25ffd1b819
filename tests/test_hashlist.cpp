// The hashlist program: its listing against sha1sum of each chunk, its messages and exit statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "test_support.h"

namespace {

constexpr size_t kChunk = 524288;

// What hashlist must print for data: one "n <sha1 of slice n>" line per 524288-byte slice.
std::string expected_listing(const std::string &data) {
    std::string out;
    for (size_t from = 0, n = 0; from < data.size(); from += kChunk, n++) {
        out += std::to_string(n) + " " + ts::reference_sha1_hex(data.substr(from, kChunk)) + "\n";
    }
    return out;
}

}  // namespace

TEST(Hashlist, ListsEveryChunkLikeSha1sumOfItsSlice) {
    ts::TempDir dir;
    const size_t sizes[] = {0, 1, kChunk, kChunk + 1, 2 * kChunk + 1, 6 * kChunk + 12345};
    uint32_t seed = 40;
    for (size_t size : sizes) {
        const std::string data = ts::random_bytes(size, seed++);
        const std::string path = dir.file("in" + std::to_string(size));
        ts::write_file(path, data);
        ts::RunResult r = ts::run({ts::bin("hashlist"), path});
        EXPECT_EQ(r.status, 0) << size << " bytes";
        EXPECT_EQ(r.err, "") << size << " bytes";
        EXPECT_EQ(r.out, expected_listing(data)) << size << " bytes";
    }
}

TEST(Hashlist, IgnoresArgumentsAfterTheFirst) {
    ts::TempDir dir;
    const std::string path = dir.file("abc");
    ts::write_file(path, "abc");
    ts::RunResult r = ts::run({ts::bin("hashlist"), path, dir.file("missing"), "-x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0 a9993e364706816aba3e25717850c26c9cd0d89d\n");
}

TEST(Hashlist, UsageWithoutArgument) {
    ts::RunResult r = ts::run({ts::bin("hashlist")});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "usage: " + ts::bin("hashlist") + " <input-file>");  // no newline
    EXPECT_EQ(r.out, "");

    /* on a terminal the usage ends its line */
    if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no script(1) to give it a terminal";
    r = ts::run({"/usr/bin/script", "-qec", ts::bin("hashlist"), "/dev/null"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "usage: " + ts::bin("hashlist") + " <input-file>\r\n");
}

TEST(Hashlist, HelpIsTheUsageOnStandardOutput) {
    for (const char *help : {"--help", "-h"}) {
        ts::RunResult r = ts::run({ts::bin("hashlist"), help});
        EXPECT_EQ(r.status, 0) << help;
        EXPECT_EQ(r.out.rfind("usage: " + ts::bin("hashlist") + " <input-file>\n", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

TEST(Hashlist, UnusableFileIsReportedWithTheSystemText) {
    ts::TempDir dir;

    /* missing: stat's error */
    const std::string missing = dir.file("no-such-file");
    ts::RunResult r = ts::run({ts::bin("hashlist"), missing});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Can't stat the file " + missing + ": " + strerror(ENOENT) + "\n");
    EXPECT_EQ(r.out, "");

    /* a directory has no bytes to list */
    r = ts::run({ts::bin("hashlist"), dir.path});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Can't hash " + dir.path + ": it is a directory\n");
    EXPECT_EQ(r.out, "");

    /* stat works but the file cannot be opened: fopen's error */
    const std::string locked = dir.file("locked");
    ts::write_file(locked, "secret");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    if (geteuid() != 0) {  // root opens it anyway
        r = ts::run({ts::bin("hashlist"), locked});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "Can't stat the file " + locked + ": " + strerror(EACCES) + "\n");
        EXPECT_EQ(r.out, "");
    }
}

// A FIFO stats as 0 bytes but delivers whatever its writer sends: the case of a file that grew
// after it was sized. Only the sized chunks (here none) may be hashed, and the run succeeds.
TEST(Hashlist, BytesBeyondTheSizedChunksAreNotListed) {
    ts::TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Each side's open waits for the other, so the order of the two starts does not matter.
    ts::Process writer =
        ts::spawn({"/bin/sh", "-c", "printf 'appended after the stat' > \"$0\"", fifo});
    ts::RunResult r = ts::run({ts::bin("hashlist"), fifo});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(writer.wait_exit(10));
}

// A sparse 1 TiB file needs two million digest areas (about 80 MB); under a 32 MB address-space
// limit the allocation fails part-way and is reported without a listing.
TEST(Hashlist, AllocationFailureIsReported) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer runtime cannot start under an address-space limit";
#else
    ts::TempDir dir;
    const std::string sparse = dir.file("sparse");
    ts::write_file(sparse, "");
    if (truncate(sparse.c_str(), off_t{1} << 40) != 0) GTEST_SKIP() << "no sparse 1 TiB file here";
    ts::RunResult r = ts::run(
        {"/bin/sh", "-c", "ulimit -v 32768 && exec \"$0\" \"$1\"", ts::bin("hashlist"), sparse});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Out of memory!!!");  // no newline
    EXPECT_EQ(r.out, "");
#endif
}
