// The tolvane program end to end: share then get, resume, timeout, SIGINT, and the checks made
// before anything starts, one group per kind of file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "peer_fixture.h"
#include "support/chunk.h"

namespace {

// What hashlist prints for bytes: the hash list share must write.
std::string listing_of(const std::string &bytes) {
    std::string text;
    for (size_t at = 0, n = 0; at < bytes.size(); at += CHUNK_SIZE, n++)
        text +=
            std::to_string(n) + " " + ts::reference_sha1_hex(bytes.substr(at, CHUNK_SIZE)) + "\n";
    return text;
}

// A folder with data.bin, a peer list of ids 1 (sharer) and 2 (getter) on fresh ports, and the
// programs started in it.
struct Tolvane {
    ts::TempDir dir;
    std::string data;
    std::vector<std::string> env;  // VEXLO_ROUTER when a router is used

    explicit Tolvane(size_t size, uint32_t seed = 7) : data(ts::random_bytes(size, seed)) {
        ts::write_file(path("data.bin"), data);
        ts::write_file(path("peers"), "# id address port\n\n1 127.0.0.1 " +
                                          std::to_string(ts::free_udp_port()) + "\n2 127.0.0.1 " +
                                          std::to_string(ts::free_udp_port()) + "\n");
    }
    std::string path(const std::string &name) const { return dir.file(name); }
    std::vector<std::string> args(const std::vector<std::string> &words) const {
        std::vector<std::string> a = {ts::bin("tolvane")};
        a.insert(a.end(), words.begin(), words.end());
        return a;
    }
    // share of data.bin as id 1, once it prints the hash list's path (ready to serve).
    ts::Process share(const std::vector<std::string> &more = {}) {
        std::vector<std::string> words = {"share",       path("data.bin"), "--peers",
                                          path("peers"), "--id",           "1"};
        words.insert(words.end(), more.begin(), more.end());
        ts::Process p = ts::spawn(args(words), env, dir.path, {"VEXLO_ROUTER"});
        p.wait_until([&] { return p.out.find('\n') != std::string::npos || p.exited; }, 20.0);
        return p;
    }
    // The key file share() would write, for a get that runs without a sharer.
    void make_key() const {
        ts::write_file(path("data.bin.key"), std::string(64, 'c') + "\n");
        chmod(path("data.bin.key").c_str(), 0600);
    }
    // A get of the swarm that share() serves: sealed with the key share wrote.
    std::vector<std::string> get_words(const std::string &out) const {
        return {"get",   path("data.bin.chunks"), path(out), "--peers", path("peers"), "--id", "2",
                "--key", path("data.bin.key")};
    }
    ts::RunResult get(const std::string &out, const std::vector<std::string> &more = {},
                      double timeout_s = 60.0) {
        std::vector<std::string> words = get_words(out);
        words.insert(words.end(), more.begin(), more.end());
        return ts::run(args(words), "", timeout_s, env, dir.path, {"VEXLO_ROUTER"});
    }
};

std::vector<std::string> with_more(std::vector<std::string> words,
                                   const std::vector<std::string> &more) {
    words.insert(words.end(), more.begin(), more.end());
    return words;
}

// Stops a sharer with SIGINT; true when it ended with status 0. Its standard error is collected.
bool stop(ts::Process &p) {
    p.send_signal(SIGINT);
    return p.wait_exit(10.0) && p.status == 0;
}

}  // namespace

TEST(Tolvane, ShareThenGetIsByteExactAndStandardOutputHoldsOnlyTheResults) {
    Tolvane t(3 * CHUNK_SIZE + 1234);
    ts::Process sharer = t.share();
    EXPECT_EQ(sharer.out, t.path("data.bin.chunks") + "\n");
    EXPECT_EQ(ts::read_file(t.path("data.bin.chunks")), listing_of(t.data));
    EXPECT_NE(sharer.err.find("tolvane: wrote the hash list"), std::string::npos) << sharer.err;

    ts::RunResult r = t.get("copy.bin");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, t.path("copy.bin") + "\n");  // no line per datagram, no GOT
    EXPECT_EQ(r.err.find("Vexlo not enabled"), std::string::npos) << r.err;
    EXPECT_TRUE(ts::read_file(t.path("copy.bin")) == t.data);
    EXPECT_NE(r.err.find("complete and verified: 4 chunks, 1574098 bytes"), std::string::npos)
        << r.err;
    ASSERT_TRUE(stop(sharer)) << sharer.err;
    EXPECT_EQ(sharer.out, t.path("data.bin.chunks") + "\n");

    /* an identical hash list is kept; a stale one is replaced */
    ts::Process again = t.share();
    EXPECT_NE(again.err.find("tolvane: kept the hash list"), std::string::npos) << again.err;
    ASSERT_TRUE(stop(again));
    ts::write_file(t.path("data.bin.chunks"), "0 " + std::string(40, 'a') + "\n");
    ts::Process stale = t.share({"--transport", "classic", "--bind", "0.0.0.0"});
    EXPECT_NE(stale.err.find("tolvane: wrote the hash list"), std::string::npos) << stale.err;
    EXPECT_EQ(ts::read_file(t.path("data.bin.chunks")), listing_of(t.data));
    ASSERT_TRUE(stop(stale));
}

// Chunks 1 and 4 of an existing copy are wrong: only those two are fetched (the sharer counts
// two uploads). A copy longer than the file is cut to its length.
TEST(Tolvane, GetResumesAnExistingCopyAndFetchesOnlyItsBadChunks) {
    Tolvane t(6 * CHUNK_SIZE - 10);
    std::string copy = t.data;
    copy[1 * CHUNK_SIZE + 7] ^= 1;
    copy[4 * CHUNK_SIZE + 9] ^= 1;
    ts::write_file(t.path("copy.bin"), copy);
    ts::Process sharer = t.share();
    ts::RunResult r = t.get("copy.bin");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ts::read_file(t.path("copy.bin")) == t.data);
    EXPECT_NE(r.err.find("4 were there already, 2 fetched (1048576 bytes)"), std::string::npos)
        << r.err;
    ASSERT_TRUE(stop(sharer));
    EXPECT_NE(sharer.err.find("after 2 uploads\n"), std::string::npos) << sharer.err;

    ts::write_file(t.path("long.bin"), t.data + "the tail of an older, longer file");
    ts::Process second = t.share();
    r = t.get("long.bin");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ts::read_file(t.path("long.bin")) == t.data);

    /* a file none of whose chunks matches is something else: kept, unless --force */
    const std::string other = ts::random_bytes(5000, 99);
    ts::write_file(t.path("other.bin"), other);
    r = t.get("other.bin");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tolvane: " + t.path("other.bin") +
                         " holds 5000 bytes, none of them a chunk of " + t.path("data.bin.chunks") +
                         "; not overwriting it without --force\n");
    EXPECT_TRUE(ts::read_file(t.path("other.bin")) == other);
    r = t.get("other.bin", {"--force"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ts::read_file(t.path("other.bin")) == t.data);
    EXPECT_TRUE(stop(second));

    /* a copy already complete needs nobody */
    ts::write_file(t.path("peers"),
                   "1 127.0.0.1 1\n2 127.0.0.1 " + std::to_string(ts::free_udp_port()) + "\n");
    r = t.get("copy.bin", {"--timeout", "30"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("6 were there already, 0 fetched"), std::string::npos) << r.err;
}

// With --seed the getter reports its copy and serves it: a third peer fetches it from the getter
// alone once the sharer has stopped.
TEST(Tolvane, GetWithSeedServesTheCopyAfterwards) {
    Tolvane t(2 * CHUNK_SIZE + 5);
    ts::write_file(t.path("peers"), ts::read_file(t.path("peers")) + "3 127.0.0.1 " +
                                        std::to_string(ts::free_udp_port()) + "\n");
    ts::Process sharer = t.share();
    ts::Process seeding = ts::spawn(t.args(with_more(t.get_words("seed.bin"), {"--seed"})), {},
                                    t.dir.path, {"VEXLO_ROUTER"});
    ASSERT_TRUE(seeding.wait_stdout(t.path("seed.bin") + "\n", 20.0)) << seeding.err;
    ASSERT_TRUE(stop(sharer));
    std::vector<std::string> third = with_more(t.get_words("third.bin"), {"--timeout", "20"});
    third[6] = "3";
    ts::RunResult r = ts::run(t.args(third), "", 30.0, {}, t.dir.path, {"VEXLO_ROUTER"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ts::read_file(t.path("third.bin")) == t.data);
    EXPECT_TRUE(stop(seeding)) << seeding.err;
}

TEST(Tolvane, GetWithoutSourceEndsAtItsTimeoutNamingTheChunksNobodyServes) {
    Tolvane t(2 * CHUNK_SIZE + 1);
    ts::write_file(t.path("data.bin.chunks"), listing_of(t.data));
    t.make_key();
    double started = ts::monotonic_now();
    ts::RunResult r = t.get("copy.bin", {"--timeout", "4"}, 10.0);
    // Not before the timeout, and at it rather than some loop later: the event loop waits at
    // most a second per pass, so 3 s leave room for a loaded machine.
    double took = ts::monotonic_now() - started;
    EXPECT_GE(took, 4.0);
    EXPECT_LT(took, 7.0);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("after its --timeout of 4 s: 3 of 3 chunks missing\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("nobody serves chunks 0-2 of " + t.path("data.bin.chunks") +
                         "; asked peers 1 (127.0.0.1:"),
              std::string::npos)
        << r.err;
}

TEST(Tolvane, OneChunkIsNamedInTheSingular) {
    Tolvane t(100);
    ts::Process sharer = t.share();
    EXPECT_NE(sharer.err.find("tolvane: hashing " + t.path("data.bin") + " (100 bytes)...\n"),
              std::string::npos)
        << sharer.err;
    EXPECT_NE(sharer.err.find(" (1 chunk) as peer 1"), std::string::npos) << sharer.err;
    ts::RunResult r = t.get("copy.bin");
    EXPECT_NE(r.err.find("complete and verified: 1 chunk, 100 bytes; 0 were there already, 1 "
                         "fetched (100 bytes)"),
              std::string::npos)
        << r.err;
    ASSERT_TRUE(stop(sharer));
    EXPECT_NE(sharer.err.find("after 1 upload\n"), std::string::npos) << sharer.err;
}

// A sharer whose list names no peer at the getter's address answers its WHOHAS but drops its
// GETs: the sharer names the address once, the getter names the silent holder and gives up once
// nothing has arrived for the time NO_PROGRESS_ENV sets, and removes the OUT it created.
TEST(Tolvane, AHolderThatDropsOurGetsIsNamedAndGetGivesUpWithoutProgress) {
    Tolvane t(CHUNK_SIZE + 1);
    std::string peers = ts::read_file(t.path("peers"));
    std::string sharer_port = peers.substr(peers.find("1 127.0.0.1 ") + 12);
    sharer_port.resize(sharer_port.find('\n'));
    std::string getter = "127.0.0.1:" + peers.substr(peers.rfind(' ') + 1);
    getter.pop_back();
    ts::write_file(t.path("other-peers"), "1 127.0.0.1 " + sharer_port + "\n");
    ts::Process sharer = ts::spawn(
        t.args({"share", t.path("data.bin"), "--peers", t.path("other-peers"), "--id", "1"}), {},
        t.dir.path, {"VEXLO_ROUTER"});
    ASSERT_TRUE(sharer.wait_stdout("\n", 20.0)) << sharer.err;
    double started = ts::monotonic_now();
    ts::RunResult r = ts::run(t.args(t.get_words("copy.bin")), "", 40.0,
                              {"TOLVANE_NO_PROGRESS_S=8"}, t.dir.path, {"VEXLO_ROUTER"});
    EXPECT_GE(ts::monotonic_now() - started, 8.0);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("tolvane: peer 1 (127.0.0.1:" + sharer_port +
                         ") announces chunks but answers none of the GETs sent to it; is this "
                         "host in its peer list, as 2 at " +
                         getter + "?\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("; asking 1 (127.0.0.1:" + sharer_port +
                         "); giving up once 8 s pass without DATA\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("after 8 s in which nothing arrived: 2 of 2 chunks missing"),
              std::string::npos)
        << r.err;
    EXPECT_NE(access(t.path("copy.bin").c_str(), F_OK), 0);
    ASSERT_TRUE(stop(sharer));
    const std::string named = "tolvane: ignoring GET from " + getter +
                              " (and whatever else it sends): no line of " + t.path("other-peers") +
                              " names that address and port\n";
    size_t at = sharer.err.find(named);
    EXPECT_NE(at, std::string::npos) << sharer.err;
    EXPECT_EQ(sharer.err.find("tolvane: ignoring", at + 1), std::string::npos) << sharer.err;
}

// A write that fails (here past a file size limit, as on a full disk) is one line naming the
// reason and OUT, without the engine's raw lines, and OUT is cut back to its verified chunks.
TEST(Tolvane, FailedWriteIsOneLineAndOutIsCutBackToItsChunks) {
    Tolvane t(2 * CHUNK_SIZE + 5000);
    ts::Process sharer = t.share();
    ts::write_file(t.path("copy.bin"), t.data.substr(0, 2 * CHUNK_SIZE));
    // 1026 KiB: the last chunk's write stops part-way, where a full disk would stop it.
    std::vector<std::string> argv = {"/bin/bash", "-c",
                                     "trap '' XFSZ; ulimit -f 1026; exec \"$0\" \"$@\""};
    std::vector<std::string> get = t.args(t.get_words("copy.bin"));
    argv.insert(argv.end(), get.begin(), get.end());
    ts::RunResult r = ts::run(argv, "", 30.0, {}, t.dir.path, {"VEXLO_ROUTER"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("tolvane: File too large writing " + t.path("copy.bin") +
                         "; the chunks written so far are kept, the same command resumes\n"),
              std::string::npos)
        << r.err;
    for (const char *raw : {"error writing output file", "feof =", "Error: download of"})
        EXPECT_EQ(r.err.find(raw), std::string::npos) << raw << ": " << r.err;
    EXPECT_TRUE(ts::read_file(t.path("copy.bin")) == t.data.substr(0, 2 * CHUNK_SIZE));
    EXPECT_TRUE(stop(sharer));
}

// On a terminal the progress line is ended before the last messages, and a download that gives
// up has its summary too, once.
TEST(Tolvane, OnATerminalTheEndStartsOnALineOfItsOwn) {
    if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no script(1) to give it a terminal";
    Tolvane t(2 * CHUNK_SIZE);
    ts::write_file(t.path("data.bin.chunks"), listing_of(t.data));
    t.make_key();
    std::string command = ts::bin("tolvane");
    for (const std::string &w : with_more(t.get_words("copy.bin"), {"--timeout", "1"}))
        command += " '" + w + "'";
    ts::RunResult r =
        ts::run({"/usr/bin/script", "-qec", command, "/dev/null"}, "", 20.0, {}, t.dir.path);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("0%  0/2 chunks  0.0 of 1.0 MiB  0.0 MB/s  ETA --  0 connections"),
              std::string::npos)
        << r.out;
    size_t summary = r.out.find("\nsummary (aborted): 0 bytes in ");
    EXPECT_NE(summary, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("summary", summary + 2), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\ntolvane: gave up on "), std::string::npos) << r.out;
}

// Reading a large file ends at once on SIGINT: share's hashing of FILE, and get's check of what
// an existing OUT holds, which the engine makes with SIGINT blocked. Both read 2 GiB of sparse
// zero chunks, seconds of work.
TEST(Tolvane, SigintWhileAFileIsReadEndsAtOnce) {
    Tolvane t(100);
    const int chunks = 4096;
    ts::write_file(t.path("big.bin"), "");
    ASSERT_EQ(truncate(t.path("big.bin").c_str(), off_t{chunks} * CHUNK_SIZE), 0);
    ts::Process sharer =
        ts::spawn(t.args({"share", t.path("big.bin"), "--peers", t.path("peers"), "--id", "1"}), {},
                  t.dir.path, {"VEXLO_ROUTER"});
    ASSERT_TRUE(sharer.wait_stderr("tolvane: hashing", 20.0)) << sharer.err;
    sharer.send_signal(SIGINT);
    double signalled = ts::monotonic_now();
    ASSERT_TRUE(sharer.wait_exit(20.0));
    EXPECT_LT(ts::monotonic_now() - signalled, 1.5);
    EXPECT_EQ(sharer.status, 130) << sharer.err;
    EXPECT_NE(access(t.path("big.bin.chunks").c_str(), F_OK), 0);

    std::string zero = ts::reference_sha1_hex(std::string(CHUNK_SIZE, '\0'));
    std::string list;
    for (int i = 0; i < chunks; i++) list += std::to_string(i) + " " + zero + "\n";
    ts::write_file(t.path("zeros.chunks"), list);
    ts::write_file(t.path("zeros.bin"), "");
    ASSERT_EQ(truncate(t.path("zeros.bin").c_str(), off_t{chunks} * CHUNK_SIZE), 0);
    std::vector<std::string> words = t.get_words("zeros.bin");
    words[1] = t.path("zeros.chunks");
    t.make_key();
    ts::Process getter = ts::spawn(t.args(words), {}, t.dir.path, {"VEXLO_ROUTER"});
    ASSERT_TRUE(getter.wait_stderr("vexlo_init", 20.0)) << getter.err;  // set up, now checking
    getter.send_signal(SIGINT);
    signalled = ts::monotonic_now();
    ASSERT_TRUE(getter.wait_exit(20.0));
    EXPECT_LT(ts::monotonic_now() - signalled, 1.5);
    EXPECT_EQ(getter.status, 130) << getter.err;
    EXPECT_NE(getter.err.find("tolvane: stopped while checking the chunks " + t.path("zeros.bin") +
                              " holds; the same command resumes\n"),
              std::string::npos)
        << getter.err;
}

// A get through a 1000 KB/s router is stopped after its first chunks: status 130, and the same
// command keeps them and fetches only the rest.
TEST(Tolvane, SigintLeavesAResumableCopy) {
    Tolvane t(12 * CHUNK_SIZE);
    ts::Process router;
    uint16_t port = pf::start_netsim(router, {"--bandwidth", "1000"});
    ASSERT_NE(port, 0) << router.err;
    t.env = pf::via_router(port);
    ts::Process sharer = t.share();
    ts::Process getter = ts::spawn(t.args(t.get_words("copy.bin")), t.env, t.dir.path);
    struct stat st {};
    ASSERT_TRUE(getter.wait_until(
        [&] { return stat(t.path("copy.bin").c_str(), &st) == 0 && st.st_size > 0; }, 20.0));
    getter.send_signal(SIGINT);
    ASSERT_TRUE(getter.wait_exit(10.0));
    EXPECT_EQ(getter.status, 130) << getter.err;
    EXPECT_EQ(getter.out, "");
    size_t at = getter.err.find("copy.bin keeps its ");
    ASSERT_NE(at, std::string::npos) << getter.err;
    int kept = std::stoi(getter.err.substr(at + 19));
    EXPECT_GE(kept, 1);
    EXPECT_LT(kept, 12);

    ts::RunResult r = t.get("copy.bin");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(std::to_string(kept) + (kept == 1 ? " was" : " were") + " there already"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(ts::read_file(t.path("copy.bin")) == t.data);
    EXPECT_TRUE(stop(sharer));
    router.send_signal(SIGTERM);
    router.wait_exit(5.0);
}

// ---- the checks before the start: status 2 and one line naming the file (and line) ----------

namespace {

struct Refusal {
    const char *label;
    std::vector<std::string> words;  // arguments after the program
    std::string message;             // the one line, after "tolvane: "
};

void expect_refusals(const Tolvane &t, const std::vector<Refusal> &cases) {
    for (const Refusal &c : cases) {
        ts::RunResult r = ts::run(t.args(c.words), "", 20.0, {}, t.dir.path);
        EXPECT_EQ(r.status, 2) << c.label << ": " << r.err;
        EXPECT_EQ(r.err, "tolvane: " + c.message + "\n") << c.label;
        EXPECT_EQ(r.out, "") << c.label;
    }
}

}  // namespace

// ---- the swarm key --------------------------------------------------------------------------

static size_t count_of(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

TEST(TolvaneKeys, ShareMakesAPrivateKeyOnceGetTakesItAndNeitherPrintsIt) {
    Tolvane t(2 * CHUNK_SIZE + 10);
    ts::Process sharer = t.share();
    const std::string key_path = t.path("data.bin.key");
    struct stat st;
    ASSERT_EQ(stat(key_path.c_str(), &st), 0) << sharer.err;
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const std::string key = ts::read_file(key_path);
    EXPECT_THAT(key, testing::MatchesRegex("[0-9a-f]{64}\n"));
    const std::string hex = key.substr(0, 64);
    EXPECT_NE(sharer.err.find("tolvane: wrote the swarm key " + key_path + " (mode 0600)"),
              std::string::npos)
        << sharer.err;
    EXPECT_NE(sharer.err.find("--id ID --key " + key_path + "\n"), std::string::npos) << sharer.err;

    /* get by TOLVANE_KEY_FILE, without --key */
    std::vector<std::string> words = t.get_words("copy.bin");
    words.resize(words.size() - 2);
    ts::RunResult r = ts::run(t.args(words), "", 60.0, {"TOLVANE_KEY_FILE=" + key_path}, t.dir.path,
                              {"VEXLO_ROUTER"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ts::read_file(t.path("copy.bin")) == t.data);
    /* and with neither: refused before anything starts */
    ts::RunResult none = ts::run(t.args(with_more(words, {"--force"})), "", 20.0, {}, t.dir.path,
                                 {"VEXLO_ROUTER", "TOLVANE_KEY_FILE"});
    EXPECT_EQ(none.status, 2);
    EXPECT_THAT(none.err, testing::HasSubstr("get needs the swarm's key: --key KEYFILE"));

    /* a getter holding another key hears nothing; the sharer says so once */
    ts::write_file(t.path("other.key"), std::string(64, 'e') + "\n");
    chmod(t.path("other.key").c_str(), 0600);
    words[2] = t.path("other.bin");
    words.insert(words.end(), {"--key", t.path("other.key"), "--timeout", "3"});
    ts::RunResult wrong = ts::run(t.args(words), "", 20.0, {}, t.dir.path, {"VEXLO_ROUTER"});
    EXPECT_EQ(wrong.status, 1) << wrong.err;
    EXPECT_THAT(wrong.err, testing::HasSubstr("every datagram is sealed with the key of " +
                                              t.path("other.key")));
    ASSERT_TRUE(stop(sharer));
    EXPECT_EQ(count_of(sharer.err, "do not open with this swarm's key"), 1u) << sharer.err;
    for (const std::string &err : {sharer.err, r.err, wrong.err})
        EXPECT_EQ(err.find(hex), std::string::npos) << "the key was printed";

    /* a second share keeps the key */
    ts::Process again = t.share();
    EXPECT_NE(again.err.find("tolvane: kept the swarm key " + key_path), std::string::npos)
        << again.err;
    EXPECT_EQ(ts::read_file(key_path), key);
    ASSERT_TRUE(stop(again));
}

TEST(TolvaneKeys, PublicSwarmsTravelUnsealedAndKeyFilesAreChecked) {
    Tolvane t(CHUNK_SIZE + 10);
    ts::Process sharer = t.share({"--public"});
    EXPECT_NE(access(t.path("data.bin.key").c_str(), F_OK), 0) << "a public share made a key";
    EXPECT_THAT(sharer.err,
                testing::HasSubstr("tolvane: a public swarm: datagrams travel unsealed"));
    EXPECT_THAT(sharer.err, testing::HasSubstr("--id ID --public\n"));
    std::vector<std::string> words = t.get_words("copy.bin");
    words.resize(words.size() - 2);
    ts::RunResult r =
        ts::run(t.args(with_more(words, {"--public"})), "", 60.0, {}, t.dir.path, {"VEXLO_ROUTER"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ts::read_file(t.path("copy.bin")) == t.data);
    ASSERT_TRUE(stop(sharer));

    /* refused before the start: both at once, a key file open to others, one that holds no key */
    ts::write_file(t.path("open.key"), std::string(64, 'a') + "\n");
    chmod(t.path("open.key").c_str(), 0644);
    ts::write_file(t.path("short.key"), std::string(10, 'a') + "\n");
    chmod(t.path("short.key").c_str(), 0600);
    struct Case {
        std::vector<std::string> more;
        std::string line;
    };
    const Case cases[] = {
        {{"--public", "--key", t.path("open.key")},
         "tolvane: get takes --key or --public, not both (see 'tolvane get --help')\n"},
        {{"--key", t.path("open.key")},
         "tolvane: the key file " + t.path("open.key") +
             " may be read or written by others (mode 0644); chmod 600 it\n"},
        {{"--key", t.path("short.key")},
         "tolvane: the key file " + t.path("short.key") +
             " does not hold a key: 64 hex digits on one line\n"},
    };
    for (const Case &c : cases) {
        ts::RunResult bad =
            ts::run(t.args(with_more(words, c.more)), "", 20.0, {}, t.dir.path, {"VEXLO_ROUTER"});
        EXPECT_EQ(bad.status, 2);
        EXPECT_EQ(bad.err, c.line);
    }
}

TEST(TolvaneChecks, PeerListProblems) {
    Tolvane t(100);
    ts::write_file(t.path("data.bin.chunks"), listing_of(t.data));
    const std::string list = t.path("list");
    ts::UdpSocket taken;
    const std::string port = std::to_string(ts::free_udp_port());
    const std::string one = "1 127.0.0.1 " + std::to_string(ts::free_udp_port()) + "\n";
    struct {
        const char *label;
        std::string text;               // the peer list
        std::vector<std::string> more;  // options after "--id 2"
        std::string message;
    } cases[] = {
        {"port with a letter",
         "# c\n\n2 127.0.0.1 4720x\n",
         {},
         ":3: port '4720x' is not a whole number from 1 to 65535"},
        {"port out of range",
         "2 127.0.0.1 472020\n",
         {},
         ":1: port '472020' is not a whole number from 1 to 65535"},
        {"port 0", "2 127.0.0.1 0\n", {}, ":1: port '0' is not a whole number from 1 to 65535"},
        {"bad address",
         one + "2 127.0.0.300 " + port + "\n",
         {},
         ":2: address '127.0.0.300' is no IPv4 address and does not resolve"},
        {"missing field",
         one + "2 127.0.0.1\n",
         {},
         ":2: expected \"<id> <address> <port>\", found 2 fields"},
        {"one field", one + "2\n", {}, ":2: expected \"<id> <address> <port>\", found 1 field"},
        {"id not a number",
         "x2 127.0.0.1 " + port + "\n",
         {},
         ":1: id 'x2' is not a whole number from 1 to 32767"},
        {"duplicate id",
         one + "1 127.0.0.1 " + port + "\n",
         {},
         ":2: id 1 is already listed on line 1"},
        {"duplicate address",
         "3 127.0.0.1 " + port + "\n2 localhost " + port + "\n",
         {},
         ":2: 127.0.0.1:" + port + " is already listed on line 1 (id 3)"},
        {"id not listed", one, {"--id", "7"}, ": no line names id 7 (--id 7)"},
        {"nobody else",
         "2 127.0.0.1 " + port + "\n",
         {},
         ": lists no peer but id 2 itself: nobody to fetch from"},
        {"bind elsewhere",
         one + "2 127.0.0.1 " + port + "\n",
         {"--bind", "127.0.0.2"},
         ":2: id 2 is listed at 127.0.0.1, not at --bind 127.0.0.2; the others send to "
         "127.0.0.1"},
        {"port taken",
         one + "2 127.0.0.1 " + std::to_string(taken.port) + "\n",
         {},
         ":2: cannot listen on 127.0.0.1:" + std::to_string(taken.port) +
             " for id 2: Address already in use"},
    };
    for (auto &c : cases) {
        ts::write_file(list, c.text);
        std::vector<std::string> w = {"get", "data.bin.chunks", "out", "--peers", list, "--id",
                                      "2"};
        w.insert(w.end(), c.more.begin(), c.more.end());
        expect_refusals(t, {{c.label, w, list + c.message}});
    }
    /* nothing was created: neither the output nor, for share, the hash list */
    expect_refusals(t, {{"missing list",
                         {"share", "data.bin", "--peers", "nolist", "--id", "1", "--hashes", "h"},
                         "cannot read the peer list nolist: No such file or directory"}});
    EXPECT_NE(access(t.path("out").c_str(), F_OK), 0);
    EXPECT_NE(access(t.path("h").c_str(), F_OK), 0);
}

TEST(TolvaneChecks, MissingOrUnreadableFiles) {
    Tolvane t(100);
    ts::write_file(t.path("empty"), "");
    ts::write_file(t.path("bad.chunks"), "0 " + std::string(40, 'a') + "\n1 xyz\n");
    ts::write_file(t.path("twice.chunks"),
                   "3 " + std::string(40, 'a') + "\n\n3 " + std::string(40, 'b') + "\n");
    const std::string a = " " + std::string(40, 'a') + "\n";
    ts::write_file(t.path("gap.chunks"), "0" + a + "1" + a + "3" + a + "5" + a);
    ts::write_file(t.path("far.chunks"), "1000000000" + a);
    ts::write_file(t.path("huge.chunks"), "0" + a + "2097152" + a);
    auto share = [](const std::string &file) {
        return std::vector<std::string>{"share", file, "--peers", "peers", "--id", "1"};
    };
    auto get = [](const std::string &list) {
        return std::vector<std::string>{"get", list, "out", "--peers", "peers", "--id", "2"};
    };
    std::vector<Refusal> cases = {
        {"missing file", share("nofile"), "cannot read nofile: No such file or directory"},
        {"directory", share("."), "cannot share .: it is a directory"},
        {"empty file", share("empty"),
         "cannot share empty: it is empty, there is nothing to share"},
        {"hash list in a missing folder",
         {"share", "data.bin", "--peers", "peers", "--id", "1", "--hashes", "no/x.chunks"},
         "cannot write the hash list no/x.chunks: No such file or directory"},
        {"missing hash list", get("none.chunks"),
         "cannot read the hash list none.chunks: No such file or directory"},
        {"bad hash line", get("bad.chunks"),
         "bad.chunks:2: not a chunk line (\"<index> <40 hex digits>\")"},
        {"index twice", get("twice.chunks"), "twice.chunks:3: chunk 3 is already listed on line 1"},
        {"gap in the indices", get("gap.chunks"),
         "gap.chunks:4: chunk index 5 is out of range: a list of 4 chunks holds indices 0 to 3, "
         "each once"},
        {"one far index", get("far.chunks"),
         "far.chunks:1: chunk index 1000000000 is beyond 2097151, the last of a 1 TiB file, the "
         "largest tolvane fetches"},
        {"beyond 1 TiB", get("huge.chunks"),
         "huge.chunks:2: chunk index 2097152 is beyond 2097151, the last of a 1 TiB file, the "
         "largest tolvane fetches"},
        {"no chunk line", get("empty"), "empty: holds no chunk line (\"<index> <40 hex digits>\")"},
    };
    if (geteuid() != 0) {  // root reads it anyway
        ts::write_file(t.path("locked"), "x");
        chmod(t.path("locked").c_str(), 0);
        cases.push_back({"unreadable", share("locked"), "cannot read locked: Permission denied"});
    }
    expect_refusals(t, cases);
}

TEST(TolvaneChecks, BadOutFolder) {
    Tolvane t(100);
    ts::write_file(t.path("data.bin.chunks"), listing_of(t.data));
    auto get = [](const std::string &out) {
        return std::vector<std::string>{"get", "data.bin.chunks", out, "--peers", "peers", "--id",
                                        "2"};
    };
    std::vector<Refusal> cases = {
        {"missing folder", get("nodir/out"),
         "cannot write nodir/out: folder nodir: No such file or directory"},
        {"folder is a file", get("data.bin/out"),
         "cannot write data.bin/out: folder data.bin: it is not a folder"},
        {"out is a folder", get("."), "cannot write .: it is a directory"},
        {"out is the hash list", get("data.bin.chunks"), "data.bin.chunks is the hash list itself"},
    };
    if (geteuid() != 0) {
        mkdir(t.path("ro").c_str(), 0500);
        cases.push_back({"read-only folder", get("ro/out"),
                         "cannot write ro/out: folder ro: Permission denied"});
    }
    expect_refusals(t, cases);

    /* a copy larger than the room left, by 16 GiB: a margin that other programs writing or
       removing files on the same file system meanwhile do not eat up */
    struct statvfs fs {};
    ASSERT_EQ(statvfs(t.dir.path.c_str(), &fs), 0);
    long long room = static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
    long long chunks = (room + (16LL << 30)) / CHUNK_SIZE + 1;
    if (chunks > (1LL << 40) / CHUNK_SIZE) GTEST_SKIP() << "more than 1 TiB free";
    std::string list;
    for (long long i = 0; i < chunks; i++)
        list += std::to_string(i) + " " + std::string(40, 'a') + "\n";
    ts::write_file(t.path("large.chunks"), list);
    ts::RunResult r =
        ts::run(t.args({"get", "large.chunks", "out", "--peers", "peers", "--id", "2"}), "", 20.0,
                {}, t.dir.path);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.err.rfind("tolvane: cannot write out: the copy needs ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(" GiB more, and its file system has "), std::string::npos) << r.err;
    EXPECT_NE(access(t.path("out").c_str(), F_OK), 0);
}

TEST(TolvaneChecks, BadOptionsAndHelp) {
    Tolvane t(100);
    std::vector<std::string> get = {"get", "h", "o", "--peers", "peers", "--id", "2"};
    const std::string see = " (see 'tolvane get --help')";
    expect_refusals(
        t, {
               {"no command",
                {"fetch"},
                "no command 'fetch'; the commands are share and get (see 'tolvane --help')"},
               {"unknown option", with_more(get, {"--fast"}), "get has no option --fast" + see},
               {"missing value", with_more(get, {"--timeout"}),
                "get needs a value after --timeout" + see},
               {"id 0", with_more(get, {"--id", "0"}),
                "get --id takes a whole number from 1 to 32767, not '0'" + see},
               {"id with a letter", with_more(get, {"--id", "2x"}),
                "get --id takes a whole number from 1 to 32767, not '2x'" + see},
               {"timeout", with_more(get, {"--timeout", "-1"}),
                "get --timeout takes seconds above 0, not '-1'" + see},
               {"transport", with_more(get, {"--transport", "fast"}),
                "get --transport takes classic or adaptive, not 'fast'" + see},
               {"bind", with_more(get, {"--bind", "host"}),
                "get --bind takes an IPv4 address, not 'host'" + see},
               {"get option in share",
                {"share", "f", "--seed"},
                "share takes no --seed; it is an option of get (see 'tolvane share --help')"},
               {"share option in get", with_more(get, {"--hashes", "x"}),
                "get takes no --hashes; it is an option of share" + see},
               {"one argument",
                {"get", "h", "--peers", "p", "--id", "2"},
                "get takes a LINK [DEST], or a HASHLIST and an OUT" + see},
               {"no peers",
                {"get", "h", "o", "--id", "2"},
                "get needs --peers LIST with a HASHLIST; a LINK needs none" + see},
               {"no id",
                {"share", "f", "--peers", "p"},
                "share needs --id N (see 'tolvane share --help')"},
           });
    for (const char *command : {"share", "get"}) {
        ts::RunResult r = ts::run(t.args({command, "--help"}));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(std::string("usage: tolvane ") + command, 0), 0u) << r.out;
        EXPECT_NE(r.out.find(std::string("Examples:\n  tolvane ") + command), std::string::npos);
    }
    ts::RunResult r = ts::run(t.args({"--help"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: tolvane share PATH... [options]\n       tolvane get LINK [DEST]"),
              std::string::npos)
        << r.out;
    r = ts::run(t.args({"--version"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("tolvane ", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
}
