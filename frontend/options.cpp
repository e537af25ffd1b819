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
    OPT_PUBLIC
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
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const char kMainHelp[] =
    "usage: tolvane share FILE --peers LIST --id N [options]\n"
    "       tolvane get HASHLIST OUT --peers LIST --id N [options]\n"
    "\n"
    "Shares a file among the peers of a peer list, or fetches one from them; every\n"
    "512 KiB chunk is checked by its SHA-1.\n"
    "\n"
    "  share   serve FILE until Ctrl-C; its hash list FILE.chunks is what others fetch by\n"
    "  get     fetch the chunks HASHLIST names into OUT; exit 0 once OUT is verified\n"
    "\n"
    "LIST has one line \"<id> <IPv4 address> <port>\" per peer and is the same for all of\n"
    "them; --id names this peer's line. 'tolvane share --help' and 'tolvane get --help'\n"
    "describe each command; 'tolvane --version' prints the version.\n"
    "\n"
    "Example, two peers on one host:\n"
    "  printf '1 127.0.0.1 41001\\n2 127.0.0.1 41002\\n' > peers.txt\n"
    "  tolvane share big.iso --peers peers.txt --id 1 &\n"
    "  tolvane get big.iso.chunks copy.iso --peers peers.txt --id 2\n";

static const char kShareHelp[] =
    "usage: tolvane share FILE --peers LIST --id N [--hashes PATH] [--bind ADDR]\n"
    "                     [--transport classic|adaptive] [--key KEYFILE | --public]\n"
    "\n"
    "Hashes FILE, writes its hash list (one \"<index> <40 hex digits>\" line per 512 KiB\n"
    "chunk) to FILE.chunks unless an identical one is there, and serves FILE's chunks to\n"
    "the peers of LIST until SIGINT (Ctrl-C) or SIGTERM. Standard error says what to hand\n"
    "to the others; standard output gets one line, the hash list's path, once FILE is\n"
    "served.\n"
    "\n"
    "Every datagram is sealed with a 256-bit swarm key: only peers holding it can read,\n"
    "join or disturb the swarm. The key file (mode 0600) is KEYFILE, or $TOLVANE_KEY_FILE,\n"
    "or else FILE.key; share makes it with a random key when it is missing. Hand it to\n"
    "the members over a private channel; it is never printed.\n"
    "\n"
    "  --peers LIST     the peer list: \"<id> <IPv4 address> <port>\" per line\n"
    "  --id N           this peer's id in LIST (1 to 32767)\n"
    "  --hashes PATH    the hash list's path instead of FILE.chunks\n"
    "  --key KEYFILE    the swarm key's file instead of FILE.key\n"
    "  --public         no key: datagrams travel unsealed, anyone may read and join\n"
    "  --bind ADDR      the address to listen on: LIST's address of N (the default),\n"
    "                   or 0.0.0.0 for every address\n"
    "  --transport P    adaptive (the default) or classic\n"
    "  -h, --help       this text\n"
    "\n"
    "Exit status: 0 once stopped by SIGINT or SIGTERM; 130 when interrupted while still\n"
    "hashing; 2 when a check before the start fails (a file that cannot be read or\n"
    "written, a bad peer list, a bad option), with one line naming the file and line.\n"
    "\n"
    "Example:\n"
    "  tolvane share big.iso --peers peers.txt --id 1\n";

static const char kGetHelp[] =
    "usage: tolvane get HASHLIST OUT --peers LIST --id N --key KEYFILE [--timeout S]\n"
    "                   [--seed] [--force] [--bind ADDR] [--transport classic|adaptive]\n"
    "       tolvane get HASHLIST OUT --peers LIST --id N --public [...]\n"
    "\n"
    "Fetches the chunks HASHLIST names from the peers of LIST into OUT, checking each by\n"
    "its SHA-1. An existing OUT is resumed: its chunks that pass the check are kept and\n"
    "the rest fetched; an OUT none of whose chunks matches is refused unless --force.\n"
    "HASHLIST numbers its chunks 0 to n-1, of a file of at most 1 TiB. A terminal shows\n"
    "progress; a summary on standard error ends the run, and standard output gets one\n"
    "line, OUT's path, once OUT is complete and verified.\n"
    "\n"
    "  --peers LIST     the peer list: \"<id> <IPv4 address> <port>\" per line\n"
    "  --id N           this peer's id in LIST (1 to 32767)\n"
    "  --key KEYFILE    the swarm key's file, as share wrote it (mode 0600); without\n"
    "                   --key, $TOLVANE_KEY_FILE names it\n"
    "  --public         for a swarm shared with --public: no key, datagrams unsealed\n"
    "  --timeout S      give up after S seconds; without it, give up once 60 s pass\n"
    "                   without any DATA arriving\n"
    "  --seed           once OUT is verified, keep serving it until SIGINT or SIGTERM\n"
    "  --force          overwrite an existing OUT that holds no chunk of HASHLIST\n"
    "  --bind ADDR      the address to listen on: LIST's address of N (the default),\n"
    "                   or 0.0.0.0 for every address\n"
    "  --transport P    adaptive (the default) or classic\n"
    "  -h, --help       this text\n"
    "\n"
    "Exit status: 0 when OUT is complete and verified (with --seed, also once stopped\n"
    "afterwards); 1 when the timeout passes or the download cannot complete, naming the\n"
    "chunks nobody serves; 130 on SIGINT and 143 on SIGTERM, OUT keeping its verified\n"
    "chunks for the same command to resume; 2 when a check before the start fails (a\n"
    "file that cannot be read, an OUT that cannot be written, a bad peer list, a bad\n"
    "option), with one line naming the file and line.\n"
    "\n"
    "Example:\n"
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
        default:
            return;
    }
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
    int wanted = strcmp(o->command, "share") == 0 ? 1 : 2;
    if (argc - optind != wanted) {
        fail_usage(o, wanted == 1 ? "takes one FILE" : "takes a HASHLIST and an OUT");
    }
    o->file = argv[optind];
    o->out = wanted == 2 ? argv[optind + 1] : nullptr;
    if (!o->peers) fail_usage(o, "needs --peers LIST");
    if (o->id == 0) fail_usage(o, "needs --id N");
    if (o->public_swarm && o->key_file) fail_usage(o, "takes --key or --public, not both");
    if (wanted == 1 && o->hashes.empty()) o->hashes = std::string(o->file) + ".chunks";
}

