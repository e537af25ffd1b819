// tolvane get HASHLIST OUT: the checks of the hash list and OUT, the download followed to its
// end, the copy's final check, and what a run that did not complete leaves behind.
#include "frontend/get.h"

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

#include "engine/chunkindex.h"
#include "engine/chunklist.h"
#include "engine/peer.h"
#include "engine/progress.h"
#include "engine/schedule.h"
#include "engine/store.h"
#include "engine/time_util.h"
#include "frontend/checks.h"
#include "frontend/chunkfile.h"
#include "frontend/session.h"
#include "shim/vexlo.h"

// What messages call the hash list: its path, or the name of the file it lists.
static const char *list_name(const front_options_t *o) {
    return o->label ? o->label : o->file;
}

// What messages call OUT: its path, or what it holds.
static const char *out_name(const front_options_t *o) {
    return o->out_label ? o->out_label : o->out;
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
    fprintf(stderr, "tolvane: gave up on %s %s: %d of %s missing\n", out_name(o), why, missing,
            counted(total, "chunk").c_str());
    if (!unserved.empty()) {
        fprintf(stderr, "tolvane: nobody serves chunks %s of %s; asked peers %s\n",
                ranges_of(unserved).c_str(), list_name(o), other_peers(config).c_str());
    }
    if (!on_way.empty())
        fprintf(stderr, "tolvane: chunks %s were on their way\n", ranges_of(on_way).c_str());
    fprintf(stderr, "tolvane: %s keeps its %s; the same command resumes\n", o->out,
            counted(total - missing, "verified chunk").c_str());
    // A peer holding another key hears nothing of ours and we nothing of its: it says so.
    if (gpSeal && !unserved.empty())
        fprintf(stderr,
                "tolvane: every datagram is sealed with the key of %s; a peer holding another "
                "key, or none, is not heard, and says so on its side\n",
                swarm_key_path());
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
    bool quiet_told;                 // tell_quiet wrote its line since the last progress
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
    w->quiet_told = false;
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
        if (p == me || !announces_but_never_answers(p) || !w->warned.insert(p->id).second) continue;
        progress_end_line(config);
        if (!me) {  // an open member: no list to be missing from
            fprintf(stderr,
                    "tolvane: member %s announces chunks but answers none of the GETs sent to "
                    "it\n",
                    address_text(p->addr).c_str());
            continue;
        }
        fprintf(stderr,
                "tolvane: peer %d (%s) announces chunks but answers none of the GETs sent to "
                "it; is this host in its peer list, as %d at %s?\n",
                p->id, address_text(p->addr).c_str(), me->id, address_text(me->addr).c_str());
    }
}

static void (*pass_watcher)(bt_config_t *config, double now);

void watch_download_passes(void (*watcher)(bt_config_t *config, double now)) {
    pass_watcher = watcher;
}

// A download that has taken nothing for this long says so once, before it gives up.
constexpr double QUIET_NOTICE_S = 10.0;

// The line that says a download is waiting, and on whom.
static void tell_quiet(download_watch_s *w, bt_config_t *config, double now, double give_up_after) {
    if (w->quiet_told || now - w->last_change < std::min(QUIET_NOTICE_S, give_up_after / 3)) return;
    w->quiet_told = true;
    progress_end_line(config);
    fprintf(stderr,
            "tolvane: nothing has arrived for %.0f s; asking %s; giving up once %g s pass without "
            "DATA\n",
            now - w->last_change, other_peers(config).c_str(), give_up_after);
}

double no_progress_limit() {
    const char *text = getenv(NO_PROGRESS_ENV);
    double s = text ? parse_seconds(text) : 0;
    return s > 0 ? s : NO_PROGRESS_GIVE_UP_S;
}

// Runs passes until the download ends, the time is up, nothing has arrived for too long or a
// signal comes.
static get_outcome follow_download(bt_config_t *config, const front_options_t *o, double start) {
    download_watch_s w{fetchlist_remaining(config), 0, start, {}, false};
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
        if (pass_watcher) pass_watcher(config, now);
        if (o->timeout_s == 0) tell_quiet(&w, config, now, give_up_after);
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
                fail_start(
                    "%s holds %s, none of them a chunk of %s; not overwriting it without "
                    "--force",
                    o->out, counted(size, "byte").c_str(), list_name(o));
            if (truncate(o->out, 0) != 0)
                fail_start("cannot write %s: %s", o->out, strerror(errno));
            fprintf(stderr, "tolvane: --force: overwriting %s, which held no chunk of %s\n", o->out,
                    list_name(o));
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

static int start_download_interruptibly(bt_config_t *config, const front_options_t *o, double now) {
    int len = snprintf(start_stop_text, sizeof start_stop_text,
                       "tolvane: stopped while checking the chunks %s holds; the same command "
                       "resumes\n",
                       o->out);
    start_stop_len = std::min(static_cast<size_t>(std::max(len, 0)), sizeof start_stop_text - 1);
    struct sigaction at_once {
    }, old_int, old_term;
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
    long long unopened = gpSeal ? seal_dropped(gpSeal) : 0;
    if (unopened > 0)
        fprintf(stderr, "tolvane: sealed drops: %lld (datagrams that did not open, or replays)\n",
                unopened);
}

static int finish_complete(const front_options_t *o, const chunkitem *list, int total,
                           const std::unordered_set<int> &fetched, double seconds, FILE *results) {
    verified_s v;
    char why[WHY_LEN];
    if (!check_output_end(o->out, list, fetched, &v, why, sizeof why)) {
        fprintf(stderr, "tolvane: %s fails its final check against %s: %s\n", o->out, list_name(o),
                why);
        return EXIT_INCOMPLETE;
    }
    int kept = total - static_cast<int>(fetched.size());
    fprintf(stderr,
            "tolvane: %s complete and verified: %s, %lld bytes; %d %s there already, "
            "%zu fetched (%lld bytes) in %.2f s, %.1f MB/s\n",
            out_name(o), counted(total, "chunk").c_str(), v.bytes, kept, kept == 1 ? "was" : "were",
            fetched.size(), v.fetched_bytes, seconds,
            seconds > 0 ? static_cast<double>(v.fetched_bytes) / 1e6 / seconds : 0.0);
    print_socket_drops();
    if (results) print_result(results, o->out);
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
            fprintf(stderr,
                    "tolvane: %s writing %s; the chunks written so far are kept, the "
                    "same command resumes\n",
                    engine_abort_reason()[0] ? engine_abort_reason() : "a failure", o->out);
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
            fprintf(
                stderr,
                "tolvane: stopped by signal %d; %s keeps its %s of %d, the same command "
                "resumes\n",
                peer_caught_signal(), o->out,
                counted(total - chunklist_length(config->to_fetch_list), "verified chunk").c_str(),
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

// Fetches the chunks list names into o->out, OUT checked already (before says what it was);
// results gets OUT's path once it is verified, unless results is nullptr. The exit status.
static int fetch_checked(bt_config_t *config, const front_options_t *o, const chunkitem *list,
                         int total, const out_before_s &before, FILE *results) {
    expect_abort_line(o->out);
    double start = now_seconds();
    if (start_download_interruptibly(config, o, start) != 0)
        fail_start("the download of %s could not start", o->out);
    std::unordered_set<int> fetched = indices_to_fetch(config);
    count_whole_file(config, list, total, fetched);
    get_outcome outcome = follow_download(config, o, start);
    int status = outcome == GET_COMPLETE
                     ? finish_complete(o, list, total, fetched, now_seconds() - start, results)
                     : finish_incomplete(config, o, outcome, total);
    if (outcome != GET_COMPLETE) put_back_out_length(o->out, before, config->output_end);
    return status;
}

int fetch_file(bt_config_t *config, const front_options_t *o, FILE *results) {
    char why[WHY_LEN];
    int total = 0;
    chunkitem *list = read_hash_list(o->file, &total, why, sizeof why);
    if (!list) fail_start("%s", why);
    out_before_s before = check_get_inputs(o, list, total);
    int status = fetch_checked(config, o, list, total, before, results);
    chunklist_free(list);
    return status;
}

void seed_until_signal(bt_config_t *config, const char *what) {
    fprintf(stderr, "tolvane: seeding %s until SIGINT (Ctrl-C) or SIGTERM\n", what);
    serve_until_signal(config);
    fprintf(stderr, "tolvane: stopped seeding after %s\n",
            counted(config->tx_chunks, "upload").c_str());
}

int run_get(int argc, char **argv, const front_options_t *o) {
    struct in_addr bound = check_peers_and_bind(o, true);
    char why[WHY_LEN];
    int total = 0;
    chunkitem *list = read_hash_list(o->file, &total, why, sizeof why);
    if (!list) fail_start("%s", why);
    out_before_s before = check_get_inputs(o, list, total);
    swarm_key_t key = find_swarm_key(o);

    bt_config_t config;
    make_config(&config, argc, argv, o, bound, &key);
    sodium_memzero(&key.key, sizeof key.key);
    FILE *results = take_standard_output();
    peer_setup(&config);
    int status = fetch_checked(&config, o, list, total, before, results);
    if (status == EXIT_DONE && o->seed) seed_until_signal(&config, o->out);
    chunklist_free(list);
    releaseConfiguration(&config);
    fclose(results);
    return status;
}
