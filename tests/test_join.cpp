// tolvane share PATH... and get LINK end to end: a folder of nested files fetched with nothing
// but the link, a member that joins later and is served by both, the refusals of a destination
// that would lead elsewhere, and the getter that gets no answer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "peer_fixture.h"

namespace {

struct Join {
    ts::TempDir dir;
    std::vector<std::string> env;  // VEXLO_ROUTER when a router is used
    std::string path(const std::string &name) const { return dir.file(name); }
    static std::vector<std::string> args(const std::vector<std::string> &words) {
        std::vector<std::string> a = {ts::bin("tolvane")};
        a.insert(a.end(), words.begin(), words.end());
        return a;
    }
    // A sharer of what paths name on 127.0.0.1, once it has printed its link.
    ts::Process share(const std::vector<std::string> &paths, uint16_t port = 0) {
        std::vector<std::string> words = {"share"};
        words.insert(words.end(), paths.begin(), paths.end());
        words.insert(words.end(), {"--bind", "127.0.0.1", "--port", std::to_string(port)});
        ts::Process p = ts::spawn(args(words), env, dir.path, {"VEXLO_ROUTER"});
        p.wait_until([&] { return p.out.find('\n') != std::string::npos || p.exited; }, 30.0);
        return p;
    }
    ts::Process get_in_background(const std::string &link, const std::string &dest,
                                  const std::vector<std::string> &more = {}) {
        std::vector<std::string> words = {"get", link, path(dest), "--bind", "127.0.0.1"};
        words.insert(words.end(), more.begin(), more.end());
        return ts::spawn(args(words), env, dir.path, {"VEXLO_ROUTER"});
    }
    // link "-" with stdin_bytes: the link on standard input.
    ts::RunResult get(const std::string &link, const std::string &dest,
                      const std::vector<std::string> &more_env = {},
                      const std::string &stdin_bytes = "") {
        std::vector<std::string> e = env;
        e.insert(e.end(), more_env.begin(), more_env.end());
        return ts::run(args({"get", link, path(dest), "--bind", "127.0.0.1"}), stdin_bytes, 60.0, e,
                       dir.path, {"VEXLO_ROUTER"});
    }
};

std::string link_of(const ts::Process &sharer) {
    return sharer.out.substr(0, sharer.out.find('\n'));
}

// The uploads a sharer ("stopped by signal 2 after 17 uploads") or seeder ("stopped seeding
// after 3 uploads") counts as it ends; -1 when it said nothing of the kind.
int uploads_said(const std::string &err) {
    size_t at = err.rfind(" after ");
    return at == std::string::npos ? -1 : atoi(err.c_str() + at + 7);
}

const std::vector<std::pair<std::string, size_t>> kTree = {
    {"album/a.bin", 3 * CHUNK_SIZE + 17}, {"album/empty", 0},
    {"album/deep/er/b.bin", CHUNK_SIZE},  {"album/deep/c.txt", 99},
    {"album/z.bin", 8 * CHUNK_SIZE + 1},
};

void make_tree(const Join &j) {
    uint32_t seed = 1;
    for (const char *d : {"album", "album/deep", "album/deep/er"}) mkdir(j.path(d).c_str(), 0755);
    for (const auto &[name, size] : kTree)
        ts::write_file(j.path(name), ts::random_bytes(size, seed++));
}

void expect_same_tree(const Join &j, const std::string &copy) {
    for (const auto &[name, size] : kTree) {
        std::string rel = name.substr(std::string("album").size());
        EXPECT_TRUE(ts::read_file(j.path(name)) == ts::read_file(j.path(copy + rel))) << copy + rel;
    }
}

}  // namespace

// A folder travels whole with the link alone; a getter that joins later finds the first getter
// through the swarm and takes chunks from it as well as from the sharer (every uplink 3 MB/s, so
// neither outruns the other).
TEST(Join, AFolderWithTheLinkAloneAndALateMemberServedByBoth) {
    Join j;
    make_tree(j);
    ts::Process router;
    uint16_t port = pf::start_netsim(router, {"--node", "* up=3000"});
    ASSERT_NE(port, 0) << router.err;
    j.env = pf::via_router(port);
    ts::Process sharer = j.share({j.path("album")});
    std::string link = link_of(sharer);
    ASSERT_EQ(link.rfind("tlv1/", 0), 0u) << sharer.err;
    EXPECT_NE(link.find("/k="), std::string::npos);  // the swarm is sealed with the link's key
    EXPECT_NE(sharer.err.find("seal: every datagram sealed"), std::string::npos) << sharer.err;
    EXPECT_EQ(link.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789/=.:,"),
              std::string::npos);

    ts::Process first = j.get_in_background(link, "copy1", {"--seed"});
    ASSERT_TRUE(first.wait_stdout("\n", 60.0)) << first.err;
    EXPECT_EQ(first.out, j.path("copy1") + "\n");
    expect_same_tree(j, "copy1");

    ts::RunResult late = j.get(link, "copy2");
    EXPECT_EQ(late.status, 0) << late.err;
    EXPECT_EQ(late.out, j.path("copy2") + "\n");
    expect_same_tree(j, "copy2");

    /* again, the link on standard input: nothing left to fetch, still verified */
    ts::RunResult again = j.get("-", "copy2", {}, link + "\n");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.err.find("a.bin complete and verified: 4 chunks, 1572881 bytes; 4 were there "
                             "already, 0 fetched"),
              std::string::npos)
        << again.err;
    first.send_signal(SIGINT);
    sharer.send_signal(SIGINT);
    EXPECT_TRUE(first.wait_exit(10.0));
    EXPECT_TRUE(sharer.wait_exit(10.0));
    // The first getter took the metadata and 15 chunks from the sharer; the late one took from
    // both.
    EXPECT_GE(uploads_said(first.err), 1) << first.err;
    EXPECT_GT(uploads_said(sharer.err), 16) << sharer.err;
    EXPECT_EQ(sharer.status, 0) << sharer.err;
}

// A symbolic link in the destination tree is not followed, and nothing is written beyond it.
TEST(Join, ASymbolicLinkInTheWayIsRefused) {
    Join j;
    make_tree(j);
    ts::Process sharer = j.share({j.path("album")});
    mkdir(j.path("copy").c_str(), 0755);
    mkdir(j.path("elsewhere").c_str(), 0755);
    ASSERT_EQ(symlink(j.path("elsewhere").c_str(), j.path("copy/deep").c_str()), 0);
    ts::RunResult r = j.get(link_of(sharer), "copy");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("copy/deep"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << r.err;
    struct stat st;
    EXPECT_NE(stat(j.path("elsewhere/c.txt").c_str(), &st), 0);
    sharer.send_signal(SIGINT);
    EXPECT_TRUE(sharer.wait_exit(10.0));
}

// A link with a character changed is refused at once; one whose sharer has gone makes the getter
// say what it asks and give up, not wait in silence.
TEST(Join, AMistypedLinkAndASilentSwarmAreReported) {
    Join j;
    ts::write_file(j.path("one.bin"), ts::random_bytes(1000, 3));
    ts::Process sharer = j.share({j.path("one.bin")});
    std::string link = link_of(sharer);
    sharer.send_signal(SIGINT);
    ASSERT_TRUE(sharer.wait_exit(10.0));
    std::string typo = link;
    typo[10] = typo[10] == 'a' ? 'b' : 'a';
    ts::RunResult bad = j.get(typo, "x");
    EXPECT_EQ(bad.status, 2) << bad.err;
    EXPECT_NE(bad.err.find("mistyped or cut short"), std::string::npos) << bad.err;

    ts::RunResult silent = j.get(link, "x", {"TOLVANE_NO_PROGRESS_S=3"});
    EXPECT_EQ(silent.status, 1) << silent.err;
    std::string entry = link.substr(link.find("/p=") + 3);
    entry = entry.substr(0, entry.find('/'));
    EXPECT_NE(silent.err.find("no answer yet"), std::string::npos) << silent.err;
    EXPECT_NE(silent.err.find("gave up after 3 s"), std::string::npos) << silent.err;
    EXPECT_NE(silent.err.find(entry), std::string::npos) << silent.err;
}
