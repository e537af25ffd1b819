// tolvane's options and help texts, and its one-line start-up failures.
#include "frontend/options.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "frontend/checks.h"
#include "frontend/link.h"

// ---- options ---------------------------------------------------------------------------------

enum front_option_code {
    OPT_PEERS = 256,
    OPT_ID,
    OPT_BIND,
    OPT_TRANSPORT,
    OPT_HASHES,
    OPT_TIMEOUT,
    OPT_SEED,
    OPT_FORCE,
    OPT_KEY,
    OPT_PUBLIC,
    OPT_PORT
};
static const struct option kLongOptions[] = {
    {"peers", required_argument, nullptr, OPT_PEERS},
    {"id", required_argument, nullptr, OPT_ID},
    {"bind", required_argument, nullptr, OPT_BIND},
    {"transport", required_argument, nullptr, OPT_TRANSPORT},
    {"hashes", required_argument, nullptr, OPT_HASHES},
    {"timeout", required_argument, nullptr, OPT_TIMEOUT},
    {"seed", no_argument, nullptr, OPT_SEED},
    {"force", no_argument, nullptr, OPT_FORCE},
    {"key", required_argument, nullptr, OPT_KEY},
    {"public", no_argument, nullptr, OPT_PUBLIC},
    {"port", required_argument, nullptr, OPT_PORT},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const char kMainHelp[] =
    "usage: tolvane share PATH... [options]\n"
    "       tolvane get LINK [DEST] [options]\n"
    "\n"
    "Shares files and folders with whoever holds the link share prints, or fetches them\n"
    "with that link alone; every 512 KiB chunk is checked by its SHA-1, the list of what\n"
    "is shared by the SHA-256 the link names, and every datagram is sealed with the key\n"
    "the link carries.\n"
    "\n"
    "  share   serve PATH... until Ctrl-C; standard output gets the link\n"
    "  get     fetch what LINK names into DEST; exit 0 once every file is verified\n"
    "\n"
    "A closed swarm from a peer list works as well: share FILE --peers LIST --id N and\n"
    "get HASHLIST OUT --peers LIST --id M (see 'tolvane share --help' and 'tolvane get\n"
    "--help'); 'tolvane --version' prints the version.\n"
    "\n"
    "Example, on two hosts:\n"
    "  tolvane share photos/            # prints tlv1/d=.../p=192.0.2.7:40123/k=.../c=...\n"
    "  tolvane get tlv1/d=.../c=...     # makes photos/ here\n";

static const char kShareHelp[] =
    "usage: tolvane share PATH... [--port N] [--bind ADDR] [--public]\n"
    "                     [--transport classic|adaptive]\n"
    "       tolvane share FILE --peers LIST --id N [--hashes PATH] [--bind ADDR]\n"
    "                     [--transport classic|adaptive] [--key KEYFILE | --public]\n"
    "\n"
    "Hashes the files and folders PATH names (a folder's files, walked in name order;\n"
    "symbolic links and special files inside it are skipped with a line each) and serves\n"
    "them until SIGINT (Ctrl-C) or SIGTERM. Standard output gets one line, the link,\n"
    "once they are served: the SHA-256 of the list of what is shared (paths, sizes and\n"
    "chunk hashes), this host's address and port, and a random key every datagram of\n"
    "the swarm is sealed with. Whoever holds the link can join and read; hand it only to\n"
    "those who may. Members find each other through the swarm: no list, no id.\n"
    "\n"
    "  --port N         the UDP port to serve on; 0 (the default): any free one\n"
    "  --bind ADDR      the address others reach this host at, named in the link; the\n"
    "                   default is the first IPv4 address of an interface that is up and\n"
    "                   not the loopback (127.0.0.1 when there is none)\n"
    "  --public         no key: datagrams travel unsealed, anyone may read and join\n"
    "  --transport P    adaptive (the default) or classic\n"
    "  -h, --help       this text\n"
    "\n"
    "With --peers, share serves one FILE to the peers of a peer list, as before: it writes\n"
    "FILE's hash list (one \"<index> <40 hex digits>\" line per chunk) to FILE.chunks and\n"
    "seals with the 256-bit key of KEYFILE, or $TOLVANE_KEY_FILE, or else FILE.key, made\n"
    "with a random key when missing (mode 0600); standard output gets the hash list's path.\n"
    "  --peers LIST     the peer list: \"<id> <IPv4 address> <port>\" per line\n"
    "  --id N           this peer's id in LIST (1 to 32767)\n"
    "  --hashes PATH    the hash list's path instead of FILE.chunks\n"
    "  --key KEYFILE    the swarm key's file instead of FILE.key\n"
    "  --bind ADDR      LIST's address of N (the default), or 0.0.0.0 for every address\n"
    "\n"
    "Exit status: 0 once stopped by SIGINT or SIGTERM; 130 when interrupted while still\n"
    "hashing; 2 when a check before the start fails (a file that cannot be read or\n"
    "written, a bad peer list, a bad option), with one line naming the file and line.\n"
    "\n"
    "Examples:\n"
    "  tolvane share big.iso\n"
    "  tolvane share photos/ notes.txt --port 41001\n"
    "  tolvane share big.iso --peers peers.txt --id 1\n";

static const char kGetHelp[] =
    "usage: tolvane get LINK [DEST] [--timeout S] [--seed] [--force] [--port N]\n"
    "                   [--bind ADDR] [--transport classic|adaptive]\n"
    "       tolvane get HASHLIST OUT --peers LIST --id N (--key KEYFILE | --public) [...]\n"
    "\n"
    "Joins the swarm LINK names (as share printed it: paste it unquoted), fetches the list\n"
    "of what it shares from its members, checks that list against the link's SHA-256, and\n"
    "fetches every file, each chunk checked by its SHA-1, from whichever members hold it,\n"
    "serving what it has verified to the others meanwhile. A share of one file goes to\n"
    "DEST (default: its own name); any other share goes below the folder DEST (default:\n"
    "the shared folder's name, or the current folder for several paths), its folders made\n"
    "as needed. A name that would lead outside DEST, or a symbolic link in the way, is\n"
    "refused. Existing files are resumed: their chunks that pass the check are kept. A\n"
    "terminal shows progress; standard output gets one line, DEST, once every file is\n"
    "complete and verified. Without an answer, or without DATA, for a while, a line on\n"
    "standard error says what was tried. LINK - reads the link from standard input,\n"
    "where no other user of the host can see it (a command line they can).\n"
    "\n"
    "  --timeout S      give up after S seconds; without it, give up once 60 s pass\n"
    "                   without any answer or DATA arriving\n"
    "  --seed           once every file is verified, keep serving until SIGINT or SIGTERM\n"
    "  --force          overwrite an existing file that holds no chunk of what it should\n"
    "  --port N         the UDP port to use; 0 (the default): any free one\n"
    "  --bind ADDR      the address the members reach this host at (default as for share)\n"
    "  --transport P    adaptive (the default) or classic\n"
    "  --peers LIST     also ask the peers of LIST (\"<id> <IPv4 address> <port>\" lines)\n"
    "  -h, --help       this text\n"
    "\n"
    "With a HASHLIST and --peers, get fetches one file from the peers of a peer list, as\n"
    "before: --id N names this peer's line, --key KEYFILE (or $TOLVANE_KEY_FILE) the swarm\n"
    "key share wrote, --public a swarm shared without one; an OUT none of whose chunks\n"
    "matches is refused unless --force.\n"
    "\n"
    "Exit status: 0 when every file is complete and verified (with --seed, also once\n"
    "stopped afterwards); 1 when the timeout passes or the download cannot complete,\n"
    "naming what nobody serves; 130 on SIGINT and 143 on SIGTERM, the files keeping their\n"
    "verified chunks for the same command to resume; 2 when a check before the start\n"
    "fails (a mistyped or cut link, a file that cannot be written, a bad option), with\n"
    "one line saying why.\n"
    "\n"
    "Examples:\n"
    "  tolvane get tlv1/d=.../c=... photos-copy\n"
    "  tolvane get big.iso.chunks copy.iso --peers peers.txt --id 2 --key big.iso.key\n";

[[noreturn, gnu::format(printf, 1, 2)]] void fail_start(const char *fmt, ...) {
    char text[WHY_LEN];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    // One line, whatever the engine's message ended with.
    text[strcspn(text, "\n")] = '\0';
    fprintf(stderr, "tolvane: %s\n", text);
    exit(EXIT_BAD_START);
}

[[noreturn]] void fail_usage(const front_options_t *o, const char *what) {
    fail_start("%s %s (see 'tolvane %s --help')", o->command, what, o->command);
}

static int parse_id(const char *text) {
    char *end;
    errno = 0;
    long id = strtol(text, &end, 10);
    bool whole =
        end != text && *end == '\0' && errno == 0 && isdigit(static_cast<unsigned char>(*text));
    return whole && id >= 1 && id <= FRONT_MAX_ID ? static_cast<int>(id) : 0;
}

double parse_seconds(const char *text) {
    char *end;
    errno = 0;
    double s = strtod(text, &end);
    bool number = end != text && *end == '\0' && errno == 0 && std::isfinite(s);
    return number && s > 0 && s <= MAX_TIMEOUT_S ? s : 0;
}

// The text of the option getopt stopped at: "-x" or the long option as typed.
static std::string offending_option(char **argv, int at) {
    if (optopt > 0 && optopt < 256) return std::string("-") + static_cast<char>(optopt);
    return argv[at - 1];
}

// A port from 0 (any free one) to 65535 written as a whole number; -1 for anything else.
static int parse_port(const char *text) {
    char *end = nullptr;
    errno = 0;
    long port = strtol(text, &end, 10);
    bool whole =
        end != text && *end == '\0' && errno == 0 && isdigit(static_cast<unsigned char>(*text));
    return whole && port >= 0 && port <= 65535 ? static_cast<int>(port) : -1;
}

static void apply_option(front_options_t *o, int opt, const char *arg) {
    bool share = strcmp(o->command, "share") == 0;
    char what[WHY_LEN];
    switch (opt) {
        case OPT_PEERS:
            o->peers = arg;
            return;
        case OPT_ID:
            if ((o->id = parse_id(arg)) == 0) {
                snprintf(what, sizeof what, "--id takes a whole number from 1 to %d, not '%s'",
                         FRONT_MAX_ID, arg);
                fail_usage(o, what);
            }
            return;
        case OPT_BIND:
            o->bind_given = true;
            if (inet_pton(AF_INET, arg, &o->bind) != 1) {
                snprintf(what, sizeof what, "--bind takes an IPv4 address, not '%s'", arg);
                fail_usage(o, what);
            }
            return;
        case OPT_TRANSPORT:
            if (strcmp(arg, "classic") != 0 && strcmp(arg, "adaptive") != 0) {
                snprintf(what, sizeof what, "--transport takes classic or adaptive, not '%s'", arg);
                fail_usage(o, what);
            }
            o->transport = strcmp(arg, "classic") == 0 ? TRANSPORT_CLASSIC : TRANSPORT_ADAPTIVE;
            return;
        case OPT_HASHES:
            if (!share) fail_usage(o, "takes no --hashes; it is an option of share");
            o->hashes = arg;
            return;
        case OPT_TIMEOUT:
            if (share) fail_usage(o, "takes no --timeout; it is an option of get");
            if ((o->timeout_s = parse_seconds(arg)) == 0) {
                snprintf(what, sizeof what, "--timeout takes seconds above 0, not '%s'", arg);
                fail_usage(o, what);
            }
            return;
        case OPT_SEED:
            if (share) fail_usage(o, "takes no --seed; it is an option of get");
            o->seed = true;
            return;
        case OPT_FORCE:
            if (share) fail_usage(o, "takes no --force; it is an option of get");
            o->force = true;
            return;
        case OPT_KEY:
            o->key_file = arg;
            return;
        case OPT_PUBLIC:
            o->public_swarm = true;
            return;
        case OPT_PORT:
            o->port_given = true;
            if ((o->port = parse_port(arg)) < 0) {
                snprintf(what, sizeof what, "--port takes a port from 0 to 65535, not '%s'", arg);
                fail_usage(o, what);
            }
            return;
        default:
            return;
    }
}

// share PATH... and get LINK [DEST]: the positionals, and no option of the closed swarm.
static void check_linked_positionals(int argc, char **argv, front_options_t *o) {
    bool share = strcmp(o->command, "share") == 0;
    if (o->id != 0) fail_usage(o, "takes --id only with --peers LIST");
    if (!o->hashes.empty()) fail_usage(o, "takes --hashes only with --peers LIST");
    if (o->key_file) fail_usage(o, "takes no --key with a link: the link carries the key");
    int given = argc - optind;
    if (share) {
        if (given < 1) fail_usage(o, "takes one or more PATHs: files or folders");
        for (int i = optind; i < argc; i++) o->paths.push_back(argv[i]);
        return;
    }
    if (given > 2) fail_usage(o, "takes a LINK and at most one DEST");
    o->link = argv[optind];
    o->dest = given == 2 ? argv[optind + 1] : nullptr;
}

// Fills *o from the subcommand's arguments (argv[0] is the subcommand); prints the help and
// exits 0 on --help; exits 2 on anything wrong.
void parse_options(int argc, char **argv, front_options_t *o) {
    o->command = argv[0];
    o->transport = TRANSPORT_ADAPTIVE;
    opterr = 0;  // every problem is reported here, in one line
    optind = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, ":h", kLongOptions, nullptr)) != -1) {
        if (opt == 'h') {
            fputs(strcmp(o->command, "share") == 0 ? kShareHelp : kGetHelp, stdout);
            exit(EXIT_DONE);
        } else if (opt == '?') {
            fail_usage(o, ("has no option " + offending_option(argv, optind)).c_str());
        } else if (opt == ':') {
            fail_usage(o, ("needs a value after " + offending_option(argv, optind)).c_str());
        }
        apply_option(o, opt, optarg);
    }
    if (o->public_swarm && o->key_file) fail_usage(o, "takes --key or --public, not both");
    bool share = strcmp(o->command, "share") == 0;
    o->linked =
        share ? !o->peers
              : argc > optind && (link_looks_like(argv[optind]) || strcmp(argv[optind], "-") == 0);
    if (o->linked) {
        check_linked_positionals(argc, argv, o);
        return;
    }
    if (o->port_given)
        fail_usage(o,
                   "takes --port only for a swarm joined by a link; the port of --id is in LIST");
    int wanted = share ? 1 : 2;
    if (argc - optind != wanted) {
        fail_usage(o, wanted == 1 ? "takes one FILE with --peers"
                                  : "takes a LINK [DEST], or a HASHLIST and an OUT");
    }
    o->file = argv[optind];
    o->out = wanted == 2 ? argv[optind + 1] : nullptr;
    if (!o->peers) fail_usage(o, "needs --peers LIST with a HASHLIST; a LINK needs none");
    if (o->id == 0) fail_usage(o, "needs --id N");
    if (wanted == 1 && o->hashes.empty()) o->hashes = std::string(o->file) + ".chunks";
}
