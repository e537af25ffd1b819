// The configuration record, the command line, the peer list and the configuration dump.
#include "config/bt_parse.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/debug.h"
#include "test_support.h"

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::Eq;
using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

static const std::string kUsage =
    "usage:  peer [-h] [-d <debug>] -p <peerfile> -c <chunkfile> -m <maxconn>\n"
    "            -f <master-chunk-file> -i <identity>\n";
static const std::string kHelp =
    "         -h                help (this message)\n"
    "         -p <peerfile>     The list of all peers\n"
    "         -c <chunkfile>    The list of chunks\n"
    "         -m <maxconn>      Max # of downloads\n"
    "\t    -f <master-chunk> The master chunk file\n"
    "         -i <identity>     Which peer # am I?\n";
static const std::string kZeroIdentity = "bt_parse error:  Node identity must not be zero!\n";
static const std::string kThreePeers = "1 127.0.0.1 5001\n2 localhost 5002\n3 127.0.0.1 5003\n";

// ---- helpers ------------------------------------------------------------------------------

// A command line ("peer" first) and the configuration parsed from it in this process, with a
// fresh getopt scan and an empty debug mask. The peer records are released at the end.
struct Parsed {
    std::vector<std::string> words{"peer"};
    std::vector<char *> argv;
    bt_config_t config;

    explicit Parsed(const std::vector<std::string> &args, int start_optind = 0) {
        words.insert(words.end(), args.begin(), args.end());
        for (auto &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        debug = 0;
        optind = start_optind;
        bt_init(&config, static_cast<int>(words.size()), argv.data());
        bt_parse_command_line(&config);
    }
    ~Parsed() {
        while (config.peers != nullptr) {
            bt_peer_t *next = config.peers->next;
            free(config.peers);
            config.peers = next;
        }
    }
    Parsed(const Parsed &) = delete;
    Parsed &operator=(const Parsed &) = delete;
};

// For the paths that end the process.
static void parse_only(const std::vector<std::string> &args) {
    Parsed p(args);
}

// Writes the peer list into dir and returns the options a successful start needs, plus more.
static std::vector<std::string> with_list(const ts::TempDir &dir, const std::string &contents,
                                          const std::vector<std::string> &more) {
    std::string path = dir.file("nodes.map");
    ts::write_file(path, contents);
    std::vector<std::string> args{"-p", path, "-c", "has.chunks", "-f", "master.chunks"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// What the configuration dump writes to standard output.
static std::string dump_text(bt_config_t *config) {
    ts::TempDir dir;
    std::string path = dir.file("dump");
    int sink = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    fflush(stdout);
    int saved = dup(1);
    dup2(sink, 1);
    close(sink);
    bt_dump_config(config);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return ts::read_file(path);
}

// ---- initialisation and options -----------------------------------------------------------

TEST(BtInit, ZeroesEverythingButTheDefaultsAndTheArguments) {
    char prog[] = "peer";
    char *argv[] = {prog, nullptr};
    bt_config_t got;
    memset(&got, 0xab, sizeof got);
    bt_init(&got, 1, argv);

    bt_config_t want;
    memset(&want, 0, sizeof want);
    strcpy(want.output_file, "output.dat");
    strcpy(want.peer_list_file, "nodes.map");
    want.bind_addr.s_addr = htonl(INADDR_LOOPBACK);
    want.argc = 1;
    want.argv = argv;
    EXPECT_EQ(memcmp(&got, &want, sizeof got), 0);
}

TEST(BtParse, StoresOptionValuesAndRuntimeDefaults) {
    ts::TempDir dir;
    struct timeval before, after;
    gettimeofday(&before, nullptr);
    Parsed p(with_list(
        dir, kThreePeers,
        {"-m", "5", "-t", "9", "-x", "2", "-i", "2", "--bind", "10.1.2.3", "--progress"}));
    gettimeofday(&after, nullptr);
    const bt_config_t &c = p.config;
    EXPECT_STREQ(c.peer_list_file, dir.file("nodes.map").c_str());
    EXPECT_STREQ(c.has_chunk_file, "has.chunks");
    EXPECT_STREQ(c.chunk_file, "master.chunks");
    EXPECT_STREQ(c.output_file, "output.dat");
    EXPECT_EQ(c.max_conn, 5);
    EXPECT_EQ(c.test, 9);
    EXPECT_EQ(c.max_tx_chunks, 2);
    EXPECT_EQ(c.identity, 2);
    EXPECT_EQ(c.myport, 5002);
    EXPECT_EQ(c.download_in_progress, 0);
    EXPECT_EQ(c.to_fetch_list, nullptr);
    EXPECT_EQ(c.tx_chunks, 0);
    EXPECT_STREQ(inet_ntoa(c.bind_addr), "10.1.2.3");
    EXPECT_EQ(c.progress_mode, PROGRESS_ON);
    EXPECT_GE(c.start_time_sec, timeval2double(&before));
    EXPECT_LE(c.start_time_sec, timeval2double(&after));

    /* without -x, -t, -m */
    Parsed q(with_list(dir, kThreePeers, {"-i", "1"}));
    EXPECT_EQ(q.config.max_tx_chunks, -1);
    EXPECT_EQ(q.config.test, 0);
    EXPECT_EQ(q.config.max_conn, 0);
    EXPECT_STREQ(inet_ntoa(q.config.bind_addr), "127.0.0.1");
    EXPECT_EQ(q.config.progress_mode, PROGRESS_AUTO);
    Parsed r(with_list(dir, kThreePeers, {"-i", "1", "--progress", "--no-progress"}));
    EXPECT_EQ(r.config.progress_mode, PROGRESS_OFF);
}

TEST(BtParseDeathTest, SwarmServeAndUploadSlotOptions) {
    ts::TempDir dir;
    Parsed p(with_list(dir, kThreePeers,
                       {"-i", "1", "--swarm", "--serve", "a.chunks=a.bin", "--serve",
                        "b.chunks=dir/b=c.bin", "--upload-slots", "2"}));
    EXPECT_EQ(p.config.swarm, 1);
    EXPECT_EQ(p.config.upload_slots, 2);
    serve_option_t *first = p.config.serve_options;
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, first->next);
    EXPECT_STREQ(first->hashfile, "a.chunks");
    EXPECT_STREQ(first->datafile, "a.bin");
    EXPECT_STREQ(first->next->hashfile, "b.chunks");  // split at the first '='
    EXPECT_STREQ(first->next->datafile, "dir/b=c.bin");
    EXPECT_EQ(nullptr, first->next->next);
    free(first->next);
    free(first);
    p.config.serve_options = nullptr;

    for (const char *bad : {"a.chunks", "=a.bin", "a.chunks="}) {
        SCOPED_TRACE(bad);
        EXPECT_EXIT(parse_only(with_list(dir, kThreePeers, {"-i", "1", "--serve", bad})),
                    ExitedWithCode(255), HasSubstr("--serve takes HASHFILE=FILE"));
    }
    for (const char *bad : {"0", "1025", "x"}) {
        SCOPED_TRACE(bad);
        EXPECT_EXIT(parse_only(with_list(dir, kThreePeers, {"-i", "1", "--upload-slots", bad})),
                    ExitedWithCode(255), HasSubstr("--upload-slots takes a number from 1"));
    }
}

TEST(BtParseDeathTest, ReceiveBufferOption) {
    ts::TempDir dir;
    Parsed unset(with_list(dir, kThreePeers, {"-i", "1"}));
    EXPECT_EQ(unset.config.receive_buffer, 0);  // the peer's default
    Parsed asked(with_list(dir, kThreePeers, {"-i", "1", "--receive-buffer", "65536"}));
    EXPECT_EQ(asked.config.receive_buffer, 65536);
    Parsed kernel(with_list(dir, kThreePeers, {"-i", "1", "--receive-buffer", "0"}));
    EXPECT_EQ(kernel.config.receive_buffer, -1);
    Parsed largest(with_list(dir, kThreePeers, {"-i", "1", "--receive-buffer", "536870912"}));
    EXPECT_EQ(largest.config.receive_buffer, BT_MAX_RECEIVE_BUFFER);
    for (const char *bad : {"", "-1", "4M", "x", "536870913", "99999999999"}) {
        SCOPED_TRACE(bad);
        EXPECT_EXIT(parse_only(with_list(dir, kThreePeers, {"-i", "1", "--receive-buffer", bad})),
                    ExitedWithCode(255), HasSubstr("--receive-buffer takes a number of bytes"));
    }
}

TEST(BtParseDeathTest, KeyOption) {
    ts::TempDir dir;
    Parsed plain(with_list(dir, kThreePeers, {"-i", "1"}));
    EXPECT_EQ(plain.config.sealed, 0);
    std::string key = dir.file("swarm.key");
    ts::write_file(key, "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF\n");
    chmod(key.c_str(), 0600);
    Parsed sealed(with_list(dir, kThreePeers, {"-i", "1", "--key", key}));
    EXPECT_EQ(sealed.config.sealed, 1);
    EXPECT_EQ(sealed.config.swarm_key[1], 0x11);
    EXPECT_EQ(sealed.config.swarm_key[31], 0xFF);
    /* a bad key file ends the start with the reason, before the socket */
    chmod(key.c_str(), 0604);
    EXPECT_EXIT(parse_only(with_list(dir, kThreePeers, {"-i", "1", "--key", key})),
                ExitedWithCode(255),
                HasSubstr("bt_parse error:  --key: the key file " + key +
                          " may be read or written by others (mode 0604); chmod 600 it\n"));
    EXPECT_EXIT(parse_only(with_list(dir, kThreePeers, {"-i", "1", "--key", dir.file("none")})),
                ExitedWithCode(255), HasSubstr("cannot read the key file"));
}

TEST(BtParse, RepeatedOptionsOverwriteExceptDebugBits) {
    ts::TempDir dir;
    {
        std::vector<std::string> args{
            "-p", dir.file("missing"), "-c", "first", "-m", "1", "-x", "4", "-i", "3", "-d", "3"};
        for (const auto &a : with_list(dir, kThreePeers, {"-m", "3", "-x", "0", "-i", "1"})) {
            args.push_back(a);
        }
        args.insert(args.end(), {"-d", "4"});
        Parsed p(args);
        EXPECT_STREQ(p.config.has_chunk_file, "has.chunks");
        EXPECT_EQ(p.config.max_conn, 3);
        EXPECT_EQ(p.config.max_tx_chunks, 0);
        EXPECT_EQ(p.config.myport, 5001);
        EXPECT_EQ(debug, 7u);
    }
    {
        /* accepted without effect */
        Parsed p(with_list(dir, kThreePeers, {"-d", "0x10", "-d", "foo", "-d", "-1", "-i", "1"}));
        EXPECT_EQ(debug, 0u);
    }
    {
        Parsed p(with_list(dir, kThreePeers, {"-d", "12abc", "-i", "1"}));
        EXPECT_EQ(debug, 12u);
    }
}

TEST(BtParse, RestoresTheOptionIndex) {
    ts::TempDir dir;
    Parsed p(with_list(dir, kThreePeers, {"-i", "1"}), 1);
    EXPECT_EQ(optind, 1);
}

TEST(BtParse, IdentitiesAndPortsKeepTheirLow16Bits) {
    ts::TempDir dir;
    Parsed p(with_list(dir, kThreePeers, {"-i", "65538"}));
    EXPECT_EQ(p.config.identity, 2);
    EXPECT_EQ(p.config.myport, 5002);

    Parsed q(with_list(dir, "40000 127.0.0.1 70000\n", {"-i", "40000"}));
    EXPECT_EQ(q.config.identity, -25536);
    EXPECT_EQ(q.config.myport, 4464);
    /* the lookup widens the stored id with its sign */
    ASSERT_NE(q.config.peers, nullptr);
    EXPECT_EQ(bt_peer_info(&q.config, -25536), q.config.peers);
    EXPECT_EQ(bt_peer_info(&q.config, 40000), nullptr);
}

// ---- the peer list ------------------------------------------------------------------------

TEST(BtParse, PeerListIsKeptInReverseFileOrderAndDumpedExactly) {
    ts::TempDir dir;
    Parsed p(with_list(dir, kThreePeers, {"-m", "4", "-i", "2"}));
    ASSERT_NE(p.config.peers, nullptr);
    EXPECT_EQ(p.config.peers->addr.sin_family, AF_INET);
    EXPECT_EQ(p.config.peers->announced, nullptr);
    std::string want =
        "VX-902 PROJECT 2 PEER\n\n"
        "chunk-file:     master.chunks\n"
        "has-chunk-file: has.chunks\n"
        "max-conn:       4\n"
        "peer-identity:  2\n"
        "peer-list-file: ";
    want += dir.file("nodes.map");
    want +=
        "\n"
        "  peer 3: 127.0.0.1:5003\n"
        "  peer 2: 127.0.0.1:5002\n"
        "  peer 1: 127.0.0.1:5001\n";
    EXPECT_EQ(dump_text(&p.config), want);

    /* a duplicate id: the later line is found, both are listed, the later first */
    Parsed q(with_list(dir, "1 127.0.0.1 5001\n2 127.0.0.2 6000\n2 127.0.0.3 6001\n", {"-i", "2"}));
    EXPECT_EQ(q.config.myport, 6001);
    EXPECT_THAT(dump_text(&q.config), EndsWith("  peer 2: 127.0.0.3:6001\n"
                                               "  peer 2: 127.0.0.2:6000\n"
                                               "  peer 1: 127.0.0.1:5001\n"));
}

TEST(BtParse, CommentBlankAndLongLines) {
    ts::TempDir dir;
    Parsed p(with_list(dir,
                       "# id host port\n#9 127.0.0.1 9999\n\n   \t \n"
                       "1 127.0.0.1 5001 trailing words\n#\n"
                       "  2\t127.0.0.1   5002",  // no newline at the end of the file
                       {"-i", "2"}));
    EXPECT_EQ(p.config.myport, 5002);
    EXPECT_EQ(dump_text(&p.config).find("peer 9"), std::string::npos);
    ASSERT_NE(p.config.peers, nullptr);
    ASSERT_NE(p.config.peers->next, nullptr);
    EXPECT_EQ(p.config.peers->next->next, nullptr);

    /* a line is read in pieces of 254 characters, each taken as a line of its own */
    std::string piece = "1 127.0.0.1 5001";
    piece.resize(BT_MAX_PEER_LINE - 1, ' ');
    Parsed q(with_list(dir, piece + "2 127.0.0.1 5002\n" + piece + "\n", {"-i", "2"}));
    EXPECT_EQ(q.config.myport, 5002);
    EXPECT_THAT(dump_text(&q.config), EndsWith("  peer 1: 127.0.0.1:5001\n"
                                               "  peer 2: 127.0.0.1:5002\n"
                                               "  peer 1: 127.0.0.1:5001\n"));
}

TEST(BtReadPeerList, AnUnusableListIsReportedWithoutEndingTheProcess) {
    ts::TempDir dir;
    bt_config_t config;
    bt_init(&config, 0, nullptr);
    snprintf(config.peer_list_file, sizeof config.peer_list_file, "%s",
             dir.file("nodes.map").c_str());
    char error[BT_PEER_LIST_ERROR_LEN];
    EXPECT_EQ(-1, bt_read_peer_list(&config, error, sizeof error));
    EXPECT_EQ("bt_parse error:  Cannot open peer list " + dir.file("nodes.map") +
                  ": No such file or directory\n",
              std::string(error));
    /* the message is the one the peer prints; the lines before the bad one stay read */
    ts::write_file(dir.file("nodes.map"), "1 127.0.0.1 5001\n2 127.0.0.1\n");
    EXPECT_EQ(-1, bt_read_peer_list(&config, error, sizeof error));
    EXPECT_EQ("bt_parse error:  Peer list " + dir.file("nodes.map") +
                  ", line 2: expected node id, host and port!\n",
              std::string(error));
    ASSERT_NE(nullptr, config.peers);
    EXPECT_EQ(1, config.peers->id);
    EXPECT_EQ(nullptr, config.peers->next);
    free(config.peers);
}

// ---- start-up failures --------------------------------------------------------------------

TEST(BtParseDeathTest, IdentityThatIsZeroOrNotListedIsRefused) {
    ts::TempDir dir;
    for (const char *id : {"0", "abc", "65536"}) {
        SCOPED_TRACE(id);
        EXPECT_EXIT(parse_only(with_list(dir, kThreePeers, {"-i", id})), ExitedWithCode(255),
                    Eq(kZeroIdentity));
    }
    EXPECT_EXIT(parse_only(with_list(dir, kThreePeers, {})), ExitedWithCode(255),
                Eq(kZeroIdentity));
    EXPECT_EXIT(parse_only(with_list(dir, kThreePeers, {"-i", "7"})), ExitedWithCode(255),
                Eq(std::string("bt_parse error:  No peer information for myself (id 7)!\n")));
}

TEST(BtParseDeathTest, BadPeerLinesAreRefusedWithTheirLineNumber) {
    ts::TempDir dir;
    auto refused = [&](const std::string &list, const char *line, const char *what) {
        SCOPED_TRACE(list);
        EXPECT_EXIT(parse_only(with_list(dir, list, {"-i", "1"})), ExitedWithCode(255),
                    AllOf(HasSubstr(line), HasSubstr(what)));
    };
    /* too few fields: the port of line 1 must not complete line 2 */
    refused("1 127.0.0.1 5001\n2 127.0.0.1\n", "line 2", "host and port");
    refused("1 127.0.0.1 5001\n\n# c\n4\n", "line 4", "host and port");
    /* a blank before '#' makes no comment */
    refused("1 127.0.0.1 5001\n #2 127.0.0.1 5002\n", "line 2", "node id");
    refused("one 127.0.0.1 5001\n", "line 1", "node id");
    /* the second piece of a long line stands alone */
    std::string piece = "1 127.0.0.1 5001";
    piece.resize(BT_MAX_PEER_LINE - 1, ' ');
    refused(piece + "7 localhost\n", "line 1", "host and port");
    /* a dotted address that is no address fails without asking a name server */
    refused("1 127.0.0.1 5001\n2 300.1.2.3 5002\n", "line 2", "300.1.2.3");
}

TEST(BtParseDeathTest, FailuresComeInTheOrderOfTheChecks) {
    ts::TempDir dir;
    std::string missing = dir.file("no-such.map");
    /* the peer list is read before the identity is looked at */
    EXPECT_EXIT(parse_only({"-p", missing}), ExitedWithCode(255),
                AllOf(HasSubstr(missing), Not(HasSubstr("identity"))));
    EXPECT_EXIT(
        {
            if (chdir(dir.path.c_str()) != 0) _exit(3);
            parse_only({});
        },
        ExitedWithCode(255), AllOf(HasSubstr("nodes.map"), Not(HasSubstr("identity"))));
    /* a folder opens but cannot be read */
    EXPECT_EXIT(parse_only({"-p", dir.path, "-i", "1"}), ExitedWithCode(255), HasSubstr(dir.path));
    /* identity before the file names, then -f, then -c */
    std::string list = dir.file("nodes.map");
    ts::write_file(list, kThreePeers);
    EXPECT_EXIT(parse_only({"-p", list}), ExitedWithCode(255), Eq(kZeroIdentity));
    EXPECT_EXIT(parse_only({"-p", list, "-i", "1"}), ExitedWithCode(255), HasSubstr("(-f)"));
    EXPECT_EXIT(parse_only({"-p", list, "-f", "m", "-i", "1"}), ExitedWithCode(255),
                HasSubstr("(-c)"));
}

TEST(BtParseDeathTest, NameArgumentsLongerThan254CharactersAreRefused) {
    ts::TempDir dir;
    std::string longest(BT_FILENAME_LEN - 1, 'n');
    Parsed p(with_list(dir, kThreePeers, {"-c", longest, "-f", longest, "-i", "1"}));
    EXPECT_EQ(std::string(p.config.has_chunk_file), longest);
    EXPECT_EQ(std::string(p.config.chunk_file), longest);

    for (const char *opt : {"-p", "-c", "-f"}) {
        SCOPED_TRACE(opt);
        EXPECT_EXIT(parse_only(with_list(dir, kThreePeers, {opt, longest + "n", "-i", "1"})),
                    ExitedWithCode(255), AllOf(HasSubstr(opt), HasSubstr("254")));
    }
}

TEST(BtParseDeathTest, HelpBadOptionsAndDebugList) {
    /* -h ends with 0 even when required options are missing */
    EXPECT_EXIT(parse_only({"-h"}), ExitedWithCode(0), Eq(kUsage + kHelp));
    EXPECT_EXIT(parse_only({"-i", "0", "-h", "-p", "/nonexistent"}), ExitedWithCode(0),
                Eq(kUsage + kHelp));
    /* an invalid option before -h ends the process first */
    EXPECT_EXIT(parse_only({"-z", "-h"}), ExitedWithCode(255),
                AllOf(HasSubstr("invalid option"), EndsWith(kUsage), Not(HasSubstr(kHelp))));
    EXPECT_EXIT(parse_only({"-i", "1", "-p"}), ExitedWithCode(255),
                AllOf(HasSubstr("requires an argument"), EndsWith(kUsage)));

    /* the category list (checked line by line with set_debug), then the refusal */
    const std::string invalid =
        "peer:  Invalid debug argument.  Use -d list  to see debugging options.\n";
    for (const char *arg : {"list", "?x"}) {
        EXPECT_EXIT(parse_only({"-d", arg}), ExitedWithCode(255),
                    AllOf(StartsWith("Debug values and definitions\n"),
                          EndsWith("   64  Debug the vexlo sending code\n" + invalid)));
    }
    EXPECT_EXIT(parse_only({"-d", ""}), ExitedWithCode(255), Eq(invalid));

    /* --help adds the short options -h leaves out, the long options and the GET command;
       --bind takes a dotted IPv4 address only */
    EXPECT_EXIT(parse_only({"--help"}), ExitedWithCode(0),
                AllOf(StartsWith(kUsage + kHelp), HasSubstr("\n         -d <debug>  "),
                      HasSubstr("\n         -x <n>  "), HasSubstr("\n         -t <n>  "),
                      HasSubstr("--bind <address>"), HasSubstr("--progress"),
                      HasSubstr("--no-progress"), HasSubstr("--help            this message\n"),
                      EndsWith("prints \"GOT <output-file>\" when done\n"),
                      HasSubstr("GET <hash-file> <output-file>\n")));
    for (const char *addr : {"1.2.3", "localhost", ""}) {
        EXPECT_EXIT(
            parse_only({"--bind", addr}), ExitedWithCode(255),
            Eq("bt_parse error:  --bind takes an IPv4 address, not '" + std::string(addr) + "'\n"));
    }
}
