// tolvane: one command to share a file and one to fetch it, over the peer engine with --swarm.
//
//   tolvane share FILE --peers LIST --id N [...]        serves FILE until SIGINT or SIGTERM
//   tolvane get HASHLIST OUT --peers LIST --id N [...]  fetches into OUT, resuming what is there
//
// Everything a user can get wrong is checked before the engine starts (status 2). Standard
// output carries only the line a script reads: the hash list's path once share serves, OUT's
// path once get has verified it. Whatever the engine writes on standard output goes to standard
// error instead, and the shim's pass-through notice is not printed at all.
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

#include "config/bt_parse.h"
#include "engine/chunkindex.h"
#include "engine/chunklist.h"
#include "engine/peer.h"
#include "engine/progress.h"
#include "engine/store.h"
#include "engine/schedule.h"
#include "engine/time_util.h"
#include "engine/util.h"
#include "frontend/checks.h"
#include "frontend/chunkfile.h"
#include "shim/vexlo.h"

constexpr int EXIT_DONE = 0;                  // share stopped; get: OUT complete and verified
constexpr int EXIT_INCOMPLETE = 1;            // get: timed out or cannot complete
constexpr int EXIT_BAD_START = 2;             // a check before the start failed
constexpr int EXIT_SIGNAL_BASE = 128;         // get stopped by signal n before the end: 128 + n
constexpr double NO_PROGRESS_GIVE_UP_S = 60.0;  // get without --timeout: no DATA this long
// Shortens NO_PROGRESS_GIVE_UP_S for the tests, which cannot wait a minute; not documented.
constexpr const char *NO_PROGRESS_ENV = "TOLVANE_NO_PROGRESS_S";
constexpr double MAX_TIMEOUT_S = 1e7;
constexpr size_t WHY_LEN = 1024;
constexpr const char *TOLVANE_VERSION = "1.0";

// ---- options ---------------------------------------------------------------------------------

struct front_options_s {
    const char *command;  // "share" or "get"
    const char *file;     // share: FILE; get: HASHLIST
    const char *out;      // get: OUT
    const char *peers;    // --peers
    int id;               // --id; 0 until given
    std::string hashes;   // share: --hashes, or FILE.chunks
    bool bind_given;      // --bind was given
    struct in_addr bind;  // --bind
    int transport;        // TRANSPORT_ADAPTIVE unless --transport classic
    double timeout_s;     // get --timeout; 0: none
    bool seed;            // get --seed
    bool force;           // get --force
};
typedef struct front_options_s front_options_t;

enum front_option_code {
    OPT_PEERS = 256,
    OPT_ID,
    OPT_BIND,
    OPT_TRANSPORT,
    OPT_HASHES,
    OPT_TIMEOUT,
    OPT_SEED,
    OPT_FORCE
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
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

static const char kMainHelp[] =
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
    "                     [--transport classic|adaptive]\n"
    "\n"
    "Hashes FILE, writes its hash list (one \"<index> <40 hex digits>\" line per 512 KiB\n"
    "chunk) to FILE.chunks unless an identical one is there, and serves FILE's chunks to\n"
    "the peers of LIST until SIGINT (Ctrl-C) or SIGTERM. Standard error says what to hand\n"
    "to the others; standard output gets one line, the hash list's path, once FILE is\n"
    "served.\n"
    "\n"
    "  --peers LIST     the peer list: \"<id> <IPv4 address> <port>\" per line\n"
    "  --id N           this peer's id in LIST (1 to 32767)\n"
    "  --hashes PATH    the hash list's path instead of FILE.chunks\n"
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
    "usage: tolvane get HASHLIST OUT --peers LIST --id N [--timeout S] [--seed] [--force]\n"
    "                   [--bind ADDR] [--transport classic|adaptive]\n"
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
    "  tolvane get big.iso.chunks copy.iso --peers peers.txt --id 2 --timeout 600\n";

[[noreturn, gnu::format(printf, 1, 2)]] static void fail_start(const char *fmt, ...) {
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

[[noreturn]] static void fail_usage(const front_options_t *o, const char *what) {
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

static double parse_seconds(const char *text) {
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
        default:
            return;
    }
}

// Fills *o from the subcommand's arguments (argv[0] is the subcommand); prints the help and
// exits 0 on --help; exits 2 on anything wrong.
static void parse_options(int argc, char **argv, front_options_t *o) {
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
    if (wanted == 1 && o->hashes.empty()) o->hashes = std::string(o->file) + ".chunks";
}

// ---- the checks before the start -------------------------------------------------------------

// The checks both commands share: name lengths, the peer list, the address to bind. Exits 2 on a
// failure; the address to bind otherwise.
static struct in_addr check_peers_and_bind(const front_options_t *o, bool need_others) {
    char why[WHY_LEN];
    const char *paths[][2] = {{"the peer list", o->peers},
                              {o->out ? "the hash list" : "the file", o->file},
                              {"the output file", o->out},
                              {"the hash list", o->out ? nullptr : o->hashes.c_str()}};
    for (auto &p : paths) {
        if (p[1] && check_path_length(p[0], p[1], why, sizeof why) != 0) fail_start("%s", why);
    }
    listed_peer_t own;
    if (check_peer_list(o->peers, o->id, need_others, &own, why, sizeof why) != 0)
        fail_start("%s", why);
    struct in_addr bound;
    if (check_bind(o->peers, o->id, &own, o->bind_given ? &o->bind : nullptr, &bound, why,
                   sizeof why) != 0)
        fail_start("%s", why);
    return bound;
}

// ---- messages ----------------------------------------------------------------------------------

// "127.0.0.1:41002"; inet_ntoa's one buffer would make two of them in one message the same.
static std::string address_text(const struct sockaddr_in &addr) {
    return std::string(inet_ntoa(addr.sin_addr)) + ":" + std::to_string(ntohs(addr.sin_port));
}

// The engine reports a failed write of OUT in raw lines of the designed peer ("error with
// fseek!", "error writing output file", "feof = 0, ferror = 1 errno = 28") followed by "Error:
// download of OUT aborted: <reason>". Standard error goes through this filter, which leaves those
// lines out and keeps the reason for the one line the front end writes instead.
static std::string abort_line_start;  // "Error: download of OUT aborted: "; empty: share
static char abort_reason[WHY_LEN];    // the reason of the last such line; empty: none

static bool starts_with(const char *text, size_t len, const std::string &prefix) {
    return len >= prefix.size() && memcmp(text, prefix.data(), prefix.size()) == 0;
}

// Whether the line (len bytes, its newline included) is one of the engine's write-failure lines.
static bool engine_write_failure_line(const char *line, size_t len) {
    static const std::string raw[] = {"error with fseek!", "error writing output file",
                                      "feof = "};
    for (const std::string &r : raw) {
        if (starts_with(line, len, r)) return true;
    }
    if (abort_line_start.empty() || !starts_with(line, len, abort_line_start)) return false;
    size_t n = len - abort_line_start.size();
    if (n > 0 && line[len - 1] == '\n') n--;
    snprintf(abort_reason, sizeof abort_reason, "%.*s", static_cast<int>(n),
             line + abort_line_start.size());
    return true;
}

static void write_all(int fd, const char *bytes, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, bytes, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        len -= static_cast<size_t>(n);
    }
}

// The write function of the filtered stream: every stdio call on an unbuffered stream comes here
// at once, so a redrawn progress line without its newline goes out as it is written.
static ssize_t write_filtered(void *, const char *bytes, size_t size) {
    int saved = errno;
    for (size_t at = 0; at < size;) {
        const void *nl = memchr(bytes + at, '\n', size - at);
        size_t len = nl ? static_cast<size_t>(static_cast<const char *>(nl) - bytes) + 1 - at
                        : size - at;
        if (!engine_write_failure_line(bytes + at, len)) write_all(STDERR_FILENO, bytes + at, len);
        at += len;
    }
    errno = saved;
    return static_cast<ssize_t>(size);
}

// From now on the stderr stream writes through write_filtered; unfiltered when that cannot be.
static void filter_standard_error() {
    cookie_io_functions_t io{};
    io.write = write_filtered;
    FILE *filtered = fopencookie(nullptr, "w", io);
    if (!filtered) return;
    setvbuf(filtered, nullptr, _IONBF, 0);
    fflush(stderr);
    stderr = filtered;
}

// A datagram from an address the peer list does not name is dropped; the first from each
// address is reported, since a peer whose list names this host elsewhere never gets an answer.
constexpr int UNLISTED_NAMED_MAX = 32;  // addresses named; beyond them one line says so

struct unlisted_senders_s {
    struct sockaddr_in named[UNLISTED_NAMED_MAX];
    int count;
    bool full_said;  // the line about further addresses was written
};
static unlisted_senders_s unlisted;

static bool already_named(const struct sockaddr_in *from) {
    for (int i = 0; i < unlisted.count; i++) {
        if (unlisted.named[i].sin_addr.s_addr == from->sin_addr.s_addr &&
            unlisted.named[i].sin_port == from->sin_port)
            return true;
    }
    return false;
}

static void report_unlisted_sender(bt_config_t *config, const struct sockaddr_in *from,
                                   const char *what) {
    if (already_named(from)) return;
    if (unlisted.count == UNLISTED_NAMED_MAX) {
        if (unlisted.full_said) return;
        unlisted.full_said = true;
        progress_end_line(config);
        fprintf(stderr, "tolvane: more addresses that %s does not name; not naming them\n",
                config->peer_list_file);
        return;
    }
    unlisted.named[unlisted.count++] = *from;
    progress_end_line(config);
    fprintf(stderr,
            "tolvane: ignoring %s from %s (and whatever else it sends): no line of %s names that "
            "address and port\n",
            what, address_text(*from).c_str(), config->peer_list_file);
}

// ---- the engine ------------------------------------------------------------------------------

// A configuration as peer_main's would be after parsing, for this peer of the checked list.
static void make_config(bt_config_t *config, int argc, char **argv, const front_options_t *o,
                        struct in_addr bound) {
    bt_init(config, argc, argv);
    config->max_tx_chunks = -1;
    config->swarm = 1;
    config->transport = o->transport;
    config->identity = static_cast<short>(o->id);
    snprintf(config->peer_list_file, sizeof config->peer_list_file, "%s", o->peers);
    config->bind_addr = bound;
    char error[BT_PEER_LIST_ERROR_LEN];
    if (bt_read_peer_list(config, error, sizeof error) != 0) fail_start("%s", error);
    const bt_peer_t *me = bt_peer_info(config, o->id);
    if (!me) fail_start("%s: no line names id %d", o->peers, o->id);
    config->myport = ntohs(me->addr.sin_port);
    config->unlisted_sender = report_unlisted_sender;
    struct timeval now;
    gettimeofday(&now, nullptr);
    config->start_time_sec = timeval2double(&now);
    config->start_time_mono = now_seconds();
}

// Standard output is kept for the front end's own result lines, returned as a stream; what the
// engine writes on standard output goes to standard error from now on, and what it writes on
// standard error through filter_standard_error.
static FILE *take_standard_output() {
    fflush(stdout);
    int fd = dup(STDOUT_FILENO);
    FILE *results = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!results) fail_start("cannot keep standard output: %s", strerror(errno));
    dup2(STDERR_FILENO, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    giVexloPassNotices = 0;  // a line per datagram received says nothing to a user
    filter_standard_error();
    return results;
}

static void print_result(FILE *results, const char *line) {
    fprintf(results, "%s\n", line);
    fflush(results);
}

// Passes of the event loop until SIGINT or SIGTERM.
static void serve_until_signal(bt_config_t *config) {
    bool stdin_open = false;
    while (peer_pass(config, nullptr, &stdin_open) == 0) continue;
}

static bool stop_requested() {
    return peer_caught_signal() != 0;
}

// Peers of the list other than this one, as "2 (127.0.0.1:41002), 3 (...)".
static std::string other_peers(const bt_config_t *config) {
    std::string text;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (p->id == config->identity) continue;
        if (!text.empty()) text += ", ";
        text += std::to_string(p->id) + " (" + inet_ntoa(p->addr.sin_addr) + ":" +
                std::to_string(ntohs(p->addr.sin_port)) + ")";
    }
    return text;
}

// ---- share -----------------------------------------------------------------------------------

// The hashing of FILE: one line naming it and its size, on a terminal redrawn with the
// percentage done.
struct hashing_display_s {
    const char *name;
    bool terminal;
    int percent_shown;  // -1: none yet
};
static hashing_display_s hashing;

static bool show_hashing(long long hashed, long long size) {
    if (stop_requested()) return false;
    if (hashed == 0 && !hashing.terminal)
        fprintf(stderr, "tolvane: hashing %s (%s)...\n", hashing.name, size_text(size).c_str());
    int percent = size > 0 ? static_cast<int>(100 * std::min(hashed, size) / size) : 100;
    if (hashing.terminal && percent != hashing.percent_shown) {
        fprintf(stderr, "\r\x1b[Ktolvane: hashing %s (%s)... %d%%", hashing.name,
                size_text(size).c_str(), percent);
        hashing.percent_shown = percent;
    }
    return true;
}

// Hashes FILE with its display; exits 2 when it cannot be read, 128 + n on signal n.
static void hash_shared_file(const front_options_t *o, std::string *text,
                             std::vector<file_chunk_t> *chunks, struct stat *opened) {
    hashing = {o->file, isatty(STDERR_FILENO) == 1, -1};
    char why[WHY_LEN];
    int hashed = hash_list_of_file(o->file, show_hashing, text, chunks, opened, why, sizeof why);
    if (hashing.terminal && hashing.percent_shown >= 0) fputs("\n", stderr);
    if (hashed == 0) return;
    if (!stop_requested()) fail_start("%s", why);
    fprintf(stderr, "tolvane: stopped by signal %d while hashing %s; no hash list was written\n",
            peer_caught_signal(), o->file);
    exit(EXIT_SIGNAL_BASE + peer_caught_signal());
}

// The chunks just hashed are served from FILE as they are: hashing it again to load them would
// double the wait. They are read for uploads without hashing while FILE's status stays what it
// was before it was hashed; once it changes, each is checked again as it is read.
static void serve_hashed_chunks(bt_config_t *config, const char *file,
                                const std::vector<file_chunk_t> &chunks,
                                const struct stat *opened) {
    for (size_t i = 0; i < chunks.size(); i++)
        store_add(config, chunks[i].hash, file, STORE_SERVED, static_cast<int>(i),
                  chunks[i].length);
    store_trust_file(config, file, opened);
}

static void tell_what_to_hand_out(const front_options_t *o, const bt_config_t *config, int chunks,
                                  bool written) {
    fprintf(stderr, "tolvane: %s the hash list %s\n", written ? "wrote" : "kept",
            o->hashes.c_str());
    fprintf(stderr, "tolvane: sharing %s (%s) as peer %d on %s:%d\n", o->file,
            counted(chunks, "chunk").c_str(), o->id, inet_ntoa(config->bind_addr), config->myport);
    fprintf(stderr,
            "tolvane: hand out %s and %s; with an id of that list, each fetches with\n"
            "  tolvane get %s OUT --peers %s --id ID\n",
            o->hashes.c_str(), o->peers, o->hashes.c_str(), o->peers);
    fprintf(stderr, "tolvane: serving until SIGINT (Ctrl-C) or SIGTERM\n");
}

static int run_share(int argc, char **argv, const front_options_t *o) {
    struct in_addr bound = check_peers_and_bind(o, false);
    char why[WHY_LEN];
    if (same_file(o->hashes.c_str(), o->file) || same_file(o->hashes.c_str(), o->peers))
        fail_start("the hash list %s would overwrite %s", o->hashes.c_str(),
                   same_file(o->hashes.c_str(), o->file) ? o->file : o->peers);
    if (check_hash_list_path(o->hashes.c_str(), why, sizeof why) != 0) fail_start("%s", why);
    std::string text;
    std::vector<file_chunk_t> chunks;
    struct stat opened;
    hash_shared_file(o, &text, &chunks, &opened);
    bool written = false;
    if (write_hash_list(o->hashes.c_str(), text, &written, why, sizeof why) != 0)
        fail_start("%s", why);

    bt_config_t config;
    make_config(&config, argc, argv, o, bound);
    FILE *results = take_standard_output();
    peer_setup(&config);
    serve_hashed_chunks(&config, o->file, chunks, &opened);
    tell_what_to_hand_out(o, &config, static_cast<int>(chunks.size()), written);
    print_result(results, o->hashes.c_str());
    serve_until_signal(&config);
    fprintf(stderr, "tolvane: stopped by signal %d after %s\n", peer_caught_signal(),
            counted(config.tx_chunks, "upload").c_str());
    releaseConfiguration(&config);
    fclose(results);
    return EXIT_DONE;
}

// ---- get: the end of a download --------------------------------------------------------------

// "0-3, 7, 9-10" of sorted chunk indices.
static std::string ranges_of(std::vector<int> ids) {
    std::sort(ids.begin(), ids.end());
    std::string text;
    for (size_t i = 0; i < ids.size();) {
        size_t j = i;
        while (j + 1 < ids.size() && ids[j + 1] == ids[j] + 1) j++;
        if (!text.empty()) text += ", ";
        text += std::to_string(ids[i]);
        if (j > i) text += "-" + std::to_string(ids[j]);
        i = j + 1;
    }
    return text;
}

// Whether some peer other than this one announced chunk or is sending it now.
static bool has_source(const bt_config_t *config, const chunkitem *chunk) {
    return announcement_holders(config, chunk->hash) > 0 || alreadyDownloadingChunk(config, chunk);
}

// Indices of the chunks still to fetch that no peer serves (or, with served, that some does).
static std::vector<int> missing_chunks(const bt_config_t *config, bool served) {
    std::vector<int> ids;
    for (const chunkitem *c = config->to_fetch_list; c; c = c->next) {
        if (has_source(config, c) == served) ids.push_back(c->id);
    }
    return ids;
}

static void report_give_up(const bt_config_t *config, const front_options_t *o, const char *why,
                           int total) {
    std::vector<int> unserved = missing_chunks(config, false);
    std::vector<int> on_way = missing_chunks(config, true);
    int missing = static_cast<int>(unserved.size() + on_way.size());
    fprintf(stderr, "tolvane: gave up on %s %s: %d of %s missing\n", o->out, why, missing,
            counted(total, "chunk").c_str());
    if (!unserved.empty()) {
        fprintf(stderr, "tolvane: nobody serves chunks %s of %s; asked peers %s\n",
                ranges_of(unserved).c_str(), o->file, other_peers(config).c_str());
    }
    if (!on_way.empty())
        fprintf(stderr, "tolvane: chunks %s were on their way\n", ranges_of(on_way).c_str());
    fprintf(stderr, "tolvane: %s keeps its %s; the same command resumes\n", o->out,
            counted(total - missing, "verified chunk").c_str());
}

// Bytes of the chunks ids of a file that ends at end: whole chunks but for the one end cuts.
static long long bytes_of_chunks(const std::unordered_set<int> &ids, long long end) {
    long long bytes = 0;
    for (int id : ids) {
        long long at = static_cast<long long>(id) * CHUNK_SIZE;
        bytes += std::max(0LL, std::min<long long>(CHUNK_SIZE, end - at));
    }
    return bytes;
}

// Byte counts of a finished output file.
struct verified_s {
    long long bytes;          // the file's length
    long long fetched_bytes;  // of the chunks this run fetched
};

// Every chunk passed its SHA-1 check before it was written (or, resumed, before it was kept);
// what is left to check is that the file ends where its furthest chunk does, no longer and no
// shorter: that chunk is checked once more, up to the file's end. False with the reason in why.
static bool check_output_end(const char *out, const chunkitem *list,
                             const std::unordered_set<int> &fetched, verified_s *v, char *why,
                             size_t why_size) {
    FileHandle f(fopen(out, "rb"), &fclose);
    struct stat st;
    if (!f || fstat(fileno(f.get()), &st) != 0) {
        snprintf(why, why_size, "cannot read it back: %s", strerror(errno));
        return false;
    }
    const chunkitem *last = list;
    for (const chunkitem *c = list; c; c = c->next) {
        if (c->id > last->id) last = c;
    }
    std::vector<uint8_t> buf(CHUNK_SIZE);
    int length = store_check_chunk(f.get(), last->id, last->hash, buf.data());
    long long end = static_cast<long long>(last->id) * CHUNK_SIZE + length;
    if (length < 0 || static_cast<long long>(st.st_size) != end) {
        snprintf(why, why_size, "it holds %lld bytes, which do not end with its chunk %d",
                 static_cast<long long>(st.st_size), last->id);
        return false;
    }
    v->bytes = end;
    v->fetched_bytes = bytes_of_chunks(fetched, end);
    return true;
}

// ---- get: following the download -------------------------------------------------------------

// What a download ended with, for the caller to report.
enum get_outcome { GET_COMPLETE, GET_ABORTED, GET_TIMED_OUT, GET_NO_PROGRESS, GET_SIGNAL };

// What follow_download watches of a running download.
struct download_watch_s {
    int left;                        // chunks still to fetch when last looked at
    long long taken;                 // bytes the running connections had taken then
    double last_change;              // seconds; when either last changed
    std::unordered_set<int> warned;  // peers said to announce chunks but never answer
};

static long long bytes_being_received(const bt_config_t *config) {
    long long bytes = 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (p->receiving_active) bytes += p->receiving_offset;
    }
    return bytes;
}

// Progress is any DATA taken in order or chunk written since the last look.
static void note_progress(download_watch_s *w, const bt_config_t *config, double now) {
    int left = fetchlist_remaining(config);
    long long taken = bytes_being_received(config);
    if (left == w->left && taken == w->taken) return;
    w->left = left;
    w->taken = taken;
    w->last_change = now;
}

// A peer that announced chunks, let a GET go unanswered for as long as the engine waits for one,
// and never sent any DATA. Such a peer most likely drops our GETs because its peer list does not
// name this host at the address and port ours gives: it answers a WHOHAS from anyone.
static bool announces_but_never_answers(const bt_peer_t *p) {
    return announcement_count(p) > 0 && p->swarm && p->swarm->unanswered > 0 &&
           p->receiving_first_data_time == 0;
}

static void warn_silent_holders(download_watch_s *w, bt_config_t *config) {
    const bt_peer_t *me = bt_peer_info(config, config->identity);
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (p == me || !announces_but_never_answers(p) || !w->warned.insert(p->id).second)
            continue;
        progress_end_line(config);
        fprintf(stderr,
                "tolvane: peer %d (%s) announces chunks but answers none of the GETs sent to "
                "it; is this host in its peer list, as %d at %s?\n",
                p->id, address_text(p->addr).c_str(), me->id, address_text(me->addr).c_str());
    }
}

// NO_PROGRESS_GIVE_UP_S, or the seconds NO_PROGRESS_ENV gives.
static double no_progress_limit() {
    const char *text = getenv(NO_PROGRESS_ENV);
    double s = text ? parse_seconds(text) : 0;
    return s > 0 ? s : NO_PROGRESS_GIVE_UP_S;
}

// Runs passes until the download ends, the time is up, nothing has arrived for too long or a
// signal comes.
static get_outcome follow_download(bt_config_t *config, const front_options_t *o, double start) {
    download_watch_s w{fetchlist_remaining(config), 0, start, {}};
    double give_up_after = no_progress_limit();
    bool stdin_open = false;
    for (;;) {
        if (!config->download_in_progress)
            return config->downloads_completed > 0 ? GET_COMPLETE : GET_ABORTED;
        if (peer_pass(config, nullptr, &stdin_open) != 0) return GET_SIGNAL;
        double now = now_seconds();
        if (!config->download_in_progress) continue;
        note_progress(&w, config, now);
        warn_silent_holders(&w, config);
        if (o->timeout_s > 0 && now - start >= o->timeout_s) return GET_TIMED_OUT;
        if (o->timeout_s == 0 && now - w.last_change >= give_up_after) return GET_NO_PROGRESS;
    }
}

// ---- get: the checks and the start -----------------------------------------------------------

static void check_get_files(const front_options_t *o) {
    char why[WHY_LEN];
    if (check_output_file(o->out, why, sizeof why) != 0) fail_start("%s", why);
    if (same_file(o->out, o->file)) fail_start("%s is the hash list itself", o->out);
    if (same_file(o->out, o->peers)) fail_start("%s is the peer list itself", o->out);
}

// What OUT was before this run, so that a run that fails can put back what it extended.
struct out_before_s {
    bool existed;
    long long size;
};

// An existing OUT is resumed when it holds a chunk of the list; one holding none is something
// else, overwritten only with --force (cut to nothing then, so that the engine finds no chunk
// to keep at once). Exits 2 on a refusal, 128 + n on signal n.
static out_before_s check_existing_out(const front_options_t *o, const chunkitem *list) {
    long long size = 0;
    switch (existing_out_content(o->out, list, stop_requested, &size)) {
        case OUT_EMPTY:
        case OUT_A_CHUNK:
            break;
        case OUT_STOPPED:
            fprintf(stderr, "tolvane: stopped by signal %d while reading %s; nothing was changed\n",
                    peer_caught_signal(), o->out);
            exit(EXIT_SIGNAL_BASE + peer_caught_signal());
        case OUT_UNREADABLE:
            fail_start("cannot read %s: %s", o->out, strerror(errno));
        case OUT_NO_CHUNK:
            if (!o->force)
                fail_start("%s holds %s, none of them a chunk of %s; not overwriting it without "
                           "--force",
                           o->out, counted(size, "byte").c_str(), o->file);
            if (truncate(o->out, 0) != 0) fail_start("cannot write %s: %s", o->out, strerror(errno));
            fprintf(stderr, "tolvane: --force: overwriting %s, which held no chunk of %s\n", o->out,
                    o->file);
            size = 0;
            break;
    }
    return {access(o->out, F_OK) == 0, size};
}

// The file system must have room for the copy, which ends at least a byte into its last chunk.
static void check_room(const front_options_t *o, int total) {
    char why[WHY_LEN];
    long long least = static_cast<long long>(total - 1) * CHUNK_SIZE + 1;
    if (check_output_room(o->out, least, why, sizeof why) != 0) fail_start("%s", why);
}

// The engine checks the chunks an existing OUT holds inside peer_start_download, reading all of
// it, while SIGINT and SIGTERM stay blocked: its loop lets them through only while it waits.
// Nothing is written during that check, so a signal then ends the process at once.
static char start_stop_text[WHY_LEN];
static size_t start_stop_len;

static void exit_during_start(int sig) {
    write_all(STDERR_FILENO, start_stop_text, start_stop_len);
    _exit(EXIT_SIGNAL_BASE + sig);
}

static int start_download_interruptibly(bt_config_t *config, const front_options_t *o,
                                        double now) {
    int len = snprintf(start_stop_text, sizeof start_stop_text,
                       "tolvane: stopped while checking the chunks %s holds; the same command "
                       "resumes\n",
                       o->out);
    start_stop_len = std::min(static_cast<size_t>(std::max(len, 0)), sizeof start_stop_text - 1);
    struct sigaction at_once {}, old_int, old_term;
    at_once.sa_handler = exit_during_start;
    sigemptyset(&at_once.sa_mask);
    sigaction(SIGINT, &at_once, &old_int);
    sigaction(SIGTERM, &at_once, &old_term);
    sigset_t ending, saved;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &ending, &saved);
    if (stop_requested()) exit_during_start(peer_caught_signal());  // caught before the block
    int started = peer_start_download(config, o->file, o->out, now);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    return started;
}

// The chunk indices of list that the download still has to fetch.
static std::unordered_set<int> indices_to_fetch(const bt_config_t *config) {
    std::unordered_set<int> ids;
    for (const chunkitem *c = config->to_fetch_list; c; c = c->next) ids.insert(c->id);
    return ids;
}

// The progress display counts the whole file, the chunks OUT already held included.
static void count_whole_file(bt_config_t *config, const chunkitem *list, int total,
                             const std::unordered_set<int> &to_fetch) {
    std::unordered_set<int> kept;
    for (const chunkitem *c = list; c; c = c->next) {
        if (!to_fetch.count(c->id)) kept.insert(c->id);
    }
    progress_count_whole_file(config, total, bytes_of_chunks(kept, config->output_end));
}

// ---- get -------------------------------------------------------------------------------------

// Datagrams the socket dropped for want of room, where the kernel counts them and any were.
static void print_socket_drops() {
    long long drops = vexlo_socket_drops();
    if (drops > 0) fprintf(stderr, "tolvane: socket drops: %lld\n", drops);
}

static int finish_complete(const front_options_t *o, const chunkitem *list, int total,
                           const std::unordered_set<int> &fetched, double seconds, FILE *results) {
    verified_s v;
    char why[WHY_LEN];
    if (!check_output_end(o->out, list, fetched, &v, why, sizeof why)) {
        fprintf(stderr, "tolvane: %s fails its final check against %s: %s\n", o->out, o->file, why);
        return EXIT_INCOMPLETE;
    }
    int kept = total - static_cast<int>(fetched.size());
    fprintf(stderr,
            "tolvane: %s complete and verified: %s, %lld bytes; %d %s there already, "
            "%zu fetched (%lld bytes) in %.2f s, %.1f MB/s\n",
            o->out, counted(total, "chunk").c_str(), v.bytes, kept, kept == 1 ? "was" : "were",
            fetched.size(), v.fetched_bytes, seconds,
            seconds > 0 ? static_cast<double>(v.fetched_bytes) / 1e6 / seconds : 0.0);
    print_socket_drops();
    print_result(results, o->out);
    return EXIT_DONE;
}

// A run that did not complete leaves OUT no longer than it was or than its furthest chunk
// reaches: a write that failed part-way (a full disk) leaves bytes beyond, which are no chunk.
// An OUT this run created and wrote no chunk to is removed.
static void put_back_out_length(const char *out, const out_before_s &before, long long end) {
    struct stat st;
    if (stat(out, &st) != 0 || !S_ISREG(st.st_mode)) return;
    long long keep = std::max(before.size, end);
    if (!before.existed && keep == 0) {
        unlink(out);
    } else if (static_cast<long long>(st.st_size) > keep &&
               truncate(out, static_cast<off_t>(keep)) != 0) {
        fprintf(stderr, "tolvane: could not cut %s back to %lld bytes: %s\n", out, keep,
                strerror(errno));
    }
}

// Reports a download that did not complete, after the progress display's last line and
// summary (the engine wrote them already for a failed write); the exit status.
static int finish_incomplete(bt_config_t *config, const front_options_t *o, get_outcome outcome,
                             int total) {
    if (config->download_in_progress) progress_download_ended(config, false, now_seconds());
    char why[WHY_LEN];
    switch (outcome) {
        case GET_ABORTED:
            fprintf(stderr, "tolvane: %s writing %s; the chunks written so far are kept, the "
                            "same command resumes\n",
                    abort_reason[0] ? abort_reason : "a failure", o->out);
            return EXIT_INCOMPLETE;
        case GET_TIMED_OUT:
            snprintf(why, sizeof why, "after its --timeout of %g s", o->timeout_s);
            report_give_up(config, o, why, total);
            return EXIT_INCOMPLETE;
        case GET_NO_PROGRESS:
            snprintf(why, sizeof why, "after %g s in which nothing arrived", no_progress_limit());
            report_give_up(config, o, why, total);
            return EXIT_INCOMPLETE;
        default:
            fprintf(stderr,
                    "tolvane: stopped by signal %d; %s keeps its %s of %d, the same command "
                    "resumes\n",
                    peer_caught_signal(), o->out,
                    counted(total - chunklist_length(config->to_fetch_list), "verified chunk")
                        .c_str(),
                    total);
            return EXIT_SIGNAL_BASE + peer_caught_signal();
    }
}

// The hash list and OUT checked: exits 2 (or 128 + n on signal n) when they will not do. What
// OUT was before.
static out_before_s check_get_inputs(const front_options_t *o, const chunkitem *list, int total) {
    check_get_files(o);
    out_before_s before = check_existing_out(o, list);
    check_room(o, total);
    return before;
}

static int run_get(int argc, char **argv, const front_options_t *o) {
    struct in_addr bound = check_peers_and_bind(o, true);
    char why[WHY_LEN];
    int total = 0;
    chunkitem *list = read_hash_list(o->file, &total, why, sizeof why);
    if (!list) fail_start("%s", why);
    out_before_s before = check_get_inputs(o, list, total);

    bt_config_t config;
    make_config(&config, argc, argv, o, bound);
    abort_line_start = std::string("Error: download of ") + o->out + " aborted: ";
    FILE *results = take_standard_output();
    peer_setup(&config);
    double start = now_seconds();
    if (start_download_interruptibly(&config, o, start) != 0) {
        chunklist_free(list);
        fail_start("the download of %s could not start", o->out);
    }
    std::unordered_set<int> fetched = indices_to_fetch(&config);
    count_whole_file(&config, list, total, fetched);
    get_outcome outcome = follow_download(&config, o, start);
    int status = outcome == GET_COMPLETE
                     ? finish_complete(o, list, total, fetched, now_seconds() - start, results)
                     : finish_incomplete(&config, o, outcome, total);
    if (status == EXIT_DONE && o->seed) {
        fprintf(stderr, "tolvane: seeding %s until SIGINT (Ctrl-C) or SIGTERM\n", o->out);
        serve_until_signal(&config);
        fprintf(stderr, "tolvane: stopped seeding after %s\n",
                counted(config.tx_chunks, "upload").c_str());
    }
    long long end = config.output_end;
    chunklist_free(list);
    releaseConfiguration(&config);
    fclose(results);
    if (outcome != GET_COMPLETE) put_back_out_length(o->out, before, end);
    return status;
}

// ---- main ------------------------------------------------------------------------------------

int main(int argc, char **argv) {
    open_standard_descriptors();
    signal(SIGINT, catch_sig);
    signal(SIGTERM, catch_sig);
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(kMainHelp, argc < 2 ? stderr : stdout);
        return argc < 2 ? EXIT_BAD_START : EXIT_DONE;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("tolvane %s\n", TOLVANE_VERSION);
        return EXIT_DONE;
    }
    front_options_t options{};
    if (strcmp(argv[1], "share") != 0 && strcmp(argv[1], "get") != 0) {
        fail_start("no command '%s'; the commands are share and get (see 'tolvane --help')",
                   argv[1]);
    }
    parse_options(argc - 1, argv + 1, &options);
    if (strcmp(options.command, "share") == 0) return run_share(argc, argv, &options);
    return run_get(argc, argv, &options);
}
