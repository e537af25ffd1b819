// What share and get have in common: the checks of the peer list and the address, the engine's
// configuration and its streams, and the passes of its loop.
#include "frontend/session.h"

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
#include "engine/peer.h"
#include "engine/progress.h"
#include "engine/time_util.h"
#include "frontend/checks.h"
#include "frontend/chunkfile.h"
#include "frontend/options.h"
#include "shim/seal.h"
#include "shim/vexlo.h"

// ---- the checks before the start -------------------------------------------------------------

// The checks both commands share: name lengths, the peer list, the address to bind. Exits 2 on a
// failure; the address to bind otherwise.
struct in_addr check_peers_and_bind(const front_options_t *o, bool need_others) {
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
std::string address_text(const struct sockaddr_in &addr) {
    return std::string(inet_ntoa(addr.sin_addr)) + ":" + std::to_string(ntohs(addr.sin_port));
}

// The engine reports a failed write of OUT in raw lines of the designed peer ("error with
// fseek!", "error writing output file", "feof = 0, ferror = 1 errno = 28") followed by "Error:
// download of OUT aborted: <reason>". Standard error goes through this filter, which leaves those
// lines out and keeps the reason for the one line the front end writes instead.
static std::string abort_line_start;  // "Error: download of OUT aborted: "; empty: none
static char abort_reason[WHY_LEN];    // the reason of the last such line; empty: none

static bool starts_with(const char *text, size_t len, const std::string &prefix) {
    return len >= prefix.size() && memcmp(text, prefix.data(), prefix.size()) == 0;
}

// Whether the line (len bytes, its newline included) is one of the engine's write-failure lines.
static bool engine_write_failure_line(const char *line, size_t len) {
    static const std::string raw[] = {"error with fseek!", "error writing output file", "feof = "};
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

void write_all(int fd, const char *bytes, size_t len) {
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
        size_t len =
            nl ? static_cast<size_t>(static_cast<const char *>(nl) - bytes) + 1 - at : size - at;
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

// ---- the swarm key ---------------------------------------------------------------------------

static std::string key_path_in_use;  // the key file of a sealed run, for its messages

const char *swarm_key_path() {
    return key_path_in_use.c_str();
}

swarm_key_t find_swarm_key(const front_options_t *o) {
    swarm_key_t k{};
    if (o->public_swarm) return k;
    k.sealed = true;
    bool share = strcmp(o->command, "share") == 0;
    const char *env = getenv(KEY_FILE_ENV);
    if (o->key_file) {
        k.path = o->key_file;
    } else if (env && env[0]) {
        k.path = env;
    } else if (share) {
        k.path = std::string(o->file) + ".key";
    } else {
        fail_usage(o,
                   "needs the swarm's key: --key KEYFILE (or $TOLVANE_KEY_FILE), the file "
                   "share wrote; --public for a swarm shared without one");
    }
    key_path_in_use = k.path;
    char why[WHY_LEN];
    if (share && access(k.path.c_str(), F_OK) != 0 && errno == ENOENT) {
        if (seal_random_key(&k.key) != 0) fail_start("no random source for a swarm key");
        k.made = true;
    } else if (seal_read_key_file(k.path.c_str(), &k.key, why, sizeof why) != 0) {
        fail_start("%s", why);
    }
    return k;
}

void keep_new_key(const swarm_key_t *k) {
    char why[WHY_LEN];
    if (k->made && seal_write_key_file(k->path.c_str(), &k->key, why, sizeof why) != 0)
        fail_start("%s", why);
}

// ---- the engine ------------------------------------------------------------------------------

// A configuration as peer_main's would be after parsing, for this peer of the checked list.
void make_config(bt_config_t *config, int argc, char **argv, const front_options_t *o,
                 struct in_addr bound, const swarm_key_t *key) {
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
    config->sealed = key->sealed ? 1 : 0;
    static_assert(sizeof config->swarm_key == sizeof key->key.bytes);
    memcpy(config->swarm_key, key->key.bytes, sizeof config->swarm_key);
    struct timeval now;
    gettimeofday(&now, nullptr);
    config->start_time_sec = timeval2double(&now);
    config->start_time_mono = now_seconds();
}

// Standard output is kept for the front end's own result lines, returned as a stream; what the
// engine writes on standard output goes to standard error from now on, and what it writes on
// standard error through filter_standard_error.
FILE *take_standard_output() {
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

void print_result(FILE *results, const char *line) {
    fprintf(results, "%s\n", line);
    fflush(results);
}

// Passes of the event loop until SIGINT or SIGTERM.
void serve_until_signal(bt_config_t *config) {
    bool stdin_open = false;
    while (peer_pass(config, nullptr, &stdin_open) == 0) continue;
}

int serve_to_the_end(bt_config_t *config, FILE *results) {
    serve_until_signal(config);
    fprintf(stderr, "tolvane: stopped by signal %d after %s\n", peer_caught_signal(),
            counted(config->tx_chunks, "upload").c_str());
    releaseConfiguration(config);
    fclose(results);
    return EXIT_DONE;
}

bool stop_requested() {
    return peer_caught_signal() != 0;
}

// Peers of the list other than this one, as "2 (127.0.0.1:41002), 3 (...)".
std::string other_peers(const bt_config_t *config) {
    std::string text;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (p->id == config->identity) continue;
        if (!text.empty()) text += ", ";
        text += std::to_string(p->id) + " (" + inet_ntoa(p->addr.sin_addr) + ":" +
                std::to_string(ntohs(p->addr.sin_port)) + ")";
    }
    return text;
}

void expect_abort_line(const char *out) {
    abort_line_start = std::string("Error: download of ") + out + " aborted: ";
}

const char *engine_abort_reason() {
    return abort_reason;
}
