#include "engine/peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/debug.h"
#include "engine/chunkindex.h"
#include "engine/chunkbuf.h"
#include "engine/chunklist.h"
#include "engine/create.h"
#include "engine/input_buffer.h"
#include "engine/membership.h"
#include "engine/outbox.h"
#include "engine/process.h"
#include "engine/progress.h"
#include "engine/reliable.h"
#include "engine/store.h"
#include "engine/schedule.h"
#include "engine/time_util.h"
#include "engine/transport.h"
#include "engine/util.h"
#include "shim/seal.h"
#include "shim/vexlo.h"

constexpr double MAX_WAIT_S = 1.0;            // the loop's longest wait
constexpr double DEADLINE_SLACK_S = 0.001;    // woken this much after a deadline, and never sooner
constexpr size_t GET_NAME_MAX = 120;          // characters of each name of a GET line
constexpr int GET_NAME_BUF = 128;             // room for a name and its NUL
constexpr int SOCKET_BUFFER_BYTES = 4 << 20;  // room for the windows of several uploaders at once

// ---- start-up --------------------------------------------------------------------------------

// The signal that asked the process to end; the event loop acts on it.
static volatile sig_atomic_t caught_signal = 0;

// "ouch, got signal N ! Exiting \n" written with async-signal-safe calls only.
static void write_signal_message(int sig_num) {
    char text[64] = "ouch, got signal ";
    size_t len = strlen(text);
    char digits[12];
    size_t n = 0;
    unsigned value = static_cast<unsigned>(sig_num);
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value && n < sizeof digits);
    while (n) text[len++] = digits[--n];
    const char tail[] = " ! Exiting \n";
    memcpy(text + len, tail, sizeof tail - 1);
    len += sizeof tail - 1;
    ssize_t ignored = write(STDOUT_FILENO, text, len);
    (void)ignored;
}

// Only records the signal: a handler that lands inside malloc or a stdio call must not call them
// again. A fault cannot be returned to, so it ends the process here, with safe calls only.
void catch_sig(int sig_num) {
    if (sig_num == SIGSEGV || sig_num == SIGBUS) {
        write_signal_message(sig_num);
        _exit(1);
    }
    caught_signal = sig_num;
}

[[noreturn]] static void exit_on_signal(bt_config_t *config) {
    progress_end_line(config);
    printf("ouch, got signal %d ! Exiting \n", static_cast<int>(caught_signal));
    fflush(stdout);
    exit(1);
}

// A process started with descriptor 0, 1 or 2 closed would be handed that number for its socket,
// and read datagrams as commands or write messages into it: such descriptors are opened on
// /dev/null first.
void open_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is fd itself.
        int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) close(opened);
    }
}

// The wait of one pass: until the earliest timer of the engine is due (a moment after, as the
// checks fire strictly after their limits), never longer than MAX_WAIT_S, so an idle peer sleeps.
static void wait_until_next_deadline(const bt_config_t *config, double now,
                                     struct timespec *wait) {
    double seconds = MAX_WAIT_S;
    double deadline = nextTimerDeadline(config);
    if (deadline != 0) {
        double until = deadline - now + DEADLINE_SLACK_S;
        if (until < seconds) seconds = until < DEADLINE_SLACK_S ? DEADLINE_SLACK_S : until;
    }
    wait->tv_sec = static_cast<time_t>(seconds);
    wait->tv_nsec = static_cast<long>((seconds - static_cast<double>(wait->tv_sec)) * 1e9);
}

[[noreturn]] static void fail_setup(const char *what) {
    perror(what);
    exit(-1);
}

// The kernel caps SO_RCVBUF and SO_SNDBUF at its rmem_max and wmem_max (a few hundred KiB on a
// stock kernel), fewer datagrams than several uploaders keep in flight. The FORCE variants
// pass the cap where the process may (CAP_NET_ADMIN); elsewhere the capped size is what we get.
// receive_bytes is --receive-buffer's: 0 the default, -1 the kernel's own size.
static void set_socket_buffers(int sock, int receive_bytes) {
    int bytes = SOCKET_BUFFER_BYTES;
    if (setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    if (receive_bytes < 0) return;
    bytes = receive_bytes > 0 ? receive_bytes : BT_DEFAULT_RECEIVE_BUFFER;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int granted = 0;
    socklen_t len = sizeof granted;
    getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &granted, &len);
    // Linux reports twice the size asked for, the doubling being its bookkeeping.
    if (granted < bytes)
        debug_log(DEBUG_ERRS, "receive buffer of %d bytes granted, %d asked for \n", granted / 2,
                  bytes);
}

static int open_bound_socket(bt_config_t *config, struct sockaddr_in *myaddr) {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) fail_setup("peer_run could not create socket");
    set_socket_buffers(sock, config->receive_buffer);
    vexlo_count_drops(sock);  // where the kernel reports none, the summaries leave the count out
    // A profile that takes every queued datagram per pass takes a GSO buffer whole, where the
    // kernel hands it over so; one datagram per pass (classic) stays as designed.
    if (transport_profile(config)->receives_in_batches) vexlo_receive_coalesced(sock);
    memset(myaddr, 0, sizeof *myaddr);
    myaddr->sin_family = AF_INET;
    myaddr->sin_addr = config->bind_addr;  // 127.0.0.1 unless --bind named another
    myaddr->sin_port = htons(config->myport);
    if (bind(sock, reinterpret_cast<struct sockaddr *>(myaddr), sizeof *myaddr) < 0)
        fail_setup("peer_run could not bind socket");
    // --port 0: the kernel chose a free port, which the peer goes by from now on.
    socklen_t len = sizeof *myaddr;
    if (config->myport == 0 &&
        getsockname(sock, reinterpret_cast<struct sockaddr *>(myaddr), &len) == 0)
        config->myport = ntohs(myaddr->sin_port);
    return sock;
}

// The time of the running pass of the event loop (of the set-up before the first pass), for the
// GET command, whose line handler is called with no time of its own.
static double pass_time = 0;

// SIGINT and SIGTERM are let through only while the loop waits, so that one arriving between
// the check and the wait still ends the wait at once. The mask of the wait is kept here.
static sigset_t waiting_mask;

static void block_ending_signals() {
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigprocmask(SIG_BLOCK, &ending, &waiting_mask);
    sigdelset(&waiting_mask, SIGINT);
    sigdelset(&waiting_mask, SIGTERM);
}

// --key: every datagram from here on is sealed, for the addresses the peer list names; this
// peer's own is the one the others see it at: its line of the list, or for an open member
// without one the address it is bound to, which must then be a specific one. The key leaves the
// configuration record.
static void start_sealing(bt_config_t *config, const struct sockaddr_in *bound) {
    const bt_peer_t *me = bt_peer_info(config, config->identity);
    if (!me && bound->sin_addr.s_addr == htonl(INADDR_ANY)) {
        fprintf(stderr,
                "bt_parse error:  --key with --open needs --bind of this peer's own address, not "
                "0.0.0.0: a sealed datagram names the addresses of both its ends\n");
        exit(-1);
    }
    seal_key_t key;
    memcpy(key.bytes, config->swarm_key, sizeof key.bytes);
    sodium_memzero(config->swarm_key, sizeof config->swarm_key);
    int started = seal_enable(&key, me ? &me->addr : bound);
    sodium_memzero(&key, sizeof key);
    if (started != 0) exit(-1);
}

// Every --serve file is served: its chunks that match its hash list. One that cannot be read
// ends the process with a message (status -1).
static void serve_files(bt_config_t *config) {
    for (const serve_option_t *s = config->serve_options; s; s = s->next) {
        char why[2 * BT_FILENAME_LEN];
        chunkitem *list = readHashesFromFile(s->hashfile, 0, config);
        int added = store_serve_file(config, s->hashfile, list, s->datafile, why, sizeof why);
        chunklist_free(list);
        if (added < 0) {
            fprintf(stderr, "Error: --serve %s=%s: %s\n", s->hashfile, s->datafile, why);
            exit(-1);
        }
        fprintf(stderr, "serving %d chunks of %s\n", added, s->datafile);
    }
}

void peer_setup(bt_config_t *config) {
    struct sockaddr_in myaddr;
    config->sock = open_bound_socket(config, &myaddr);
    if (config->open_membership) membership_start(config, &myaddr);
    vexlo_init(config->identity, reinterpret_cast<struct sockaddr *>(&myaddr), sizeof myaddr);
    if (config->sealed) start_sealing(config, &myaddr);
    if (config->window_log_file[0]) {
        config->graphfile_out = fopen(config->window_log_file, "w");
        if (!config->graphfile_out) fail_setup("peer_run could not open the window log");
    }
    config->masterchunks = readHashesFromFile(config->chunk_file, 1, config);
    config->mychunks = readHashesFromFile(config->has_chunk_file, 0, config);
    chunkindex_note_master(config);
    store_load(config);
    serve_files(config);
    progress_init(config);
    block_ending_signals();
    pass_time = now_seconds();
}

int peer_caught_signal() {
    return static_cast<int>(caught_signal);
}

int peer_pass(bt_config_t *config, user_iobuf *userbuf, bool *stdin_open) {
    if (caught_signal) return peer_caught_signal();
    struct timespec select_timeout;
    fd_set readfds;
    FD_ZERO(&readfds);
    bool watch_stdin = userbuf && *stdin_open;
    if (watch_stdin) FD_SET(STDIN_FILENO, &readfds);
    FD_SET(config->sock, &readfds);
    // Measured from the last pass's time: a wait that comes out longer by that pass's work can
    // only wake after a deadline, never before it.
    wait_until_next_deadline(config, pass_time, &select_timeout);
    int nfds =
        pselect(config->sock + 1, &readfds, nullptr, nullptr, &select_timeout, &waiting_mask);
    if (caught_signal) return peer_caught_signal();
    // The one clock read of the pass: every handler and check below judges by it.
    pass_time = now_seconds();
    double now = pass_time;
    // The DATA and ACKs of the pass wait for its end, or for the end of the datagrams taken,
    // and leave together.
    outbox_hold();
    if (nfds > 0) {
        if (FD_ISSET(config->sock, &readfds)) {
            // The classic loop takes one datagram per pass, as designed; the adaptive one
            // saves a wait and a receive call per datagram when several are queued.
            if (transport_profile(config)->receives_in_batches) {
                process_inbound_batch(config, now);
            } else {
                process_inbound_udp(config, now);
            }
            outbox_flush(config->sock);
        }
        if (watch_stdin && FD_ISSET(STDIN_FILENO, &readfds)) {
            process_user_input(STDIN_FILENO, userbuf, handle_user_input, config);
            // At its end standard input stays readable for ever: watching it further would
            // spin the loop. The peer keeps serving the others.
            *stdin_open = !userbuf->at_eof;
        }
    }
    sendTimedOutPacketsAt(config, now);
    checkForStalledDownloads(config, now);
    serveWaitingGets(config, now);
    progress_tick(config, now);
    membership_tick(config, now);
    outbox_release(config->sock);
    return 0;
}

[[noreturn]] void peer_run(bt_config_t *config) {
    user_iobuf *userbuf = create_userbuf();
    if (!userbuf) fail_setup("peer_run could not allocate userbuf");
    peer_setup(config);
    bool stdin_open = true;
    for (;;) {
        if (peer_pass(config, userbuf, &stdin_open) != 0) exit_on_signal(config);
    }
}

// ---- datagrams -------------------------------------------------------------------------------

void process_inbound_udp(bt_config_t *config, double now) {
    alignas(header) char buffer[MAX_PACKET_SIZE];
    struct sockaddr_in from;
    socklen_t fromlen = sizeof from;
    int received = vexlo_recvfrom(config->sock, buffer, sizeof buffer, 0,
                                  reinterpret_cast<struct sockaddr *>(&from), &fromlen);
    if (received <= 0) return;
    if (debug & DEBUG_ALL) {  // per datagram: no address formatting unless it is printed
        debug_log(DEBUG_ALL, "Incoming message (size = %d) from %s:%d\n", received,
                  inet_ntoa(from.sin_addr), ntohs(from.sin_port));
    }
    handleDatagram(config, reinterpret_cast<header *>(buffer), received, &from, now);
}

void process_inbound_batch(bt_config_t *config, double now) {
    static vexlo_segment segs[VEXLO_SEGMENTS_MAX];
    int got = vexlo_recvsegments(config->sock, segs);
    for (int i = 0; i < got; i++) {
        if (segs[i].length <= 0) continue;
        if (debug & DEBUG_ALL) {
            debug_log(DEBUG_ALL, "Incoming message (size = %d) from %s:%d\n", segs[i].length,
                      inet_ntoa(segs[i].from.sin_addr), ntohs(segs[i].from.sin_port));
        }
        // The shim hands each datagram out aligned for its header, in its own memory, which the
        // handlers only read (held out-of-order packets are copies).
        handleDatagram(config, reinterpret_cast<header *>(segs[i].bytes), segs[i].length,
                       &segs[i].from, now);
    }
}

// ---- releasing a configuration ---------------------------------------------------------------

void releaseConfiguration(bt_config_t *config) {
    outbox_discard();  // what it holds points into the buffers released below
    chunkindex_free(config);
    bt_peer_t *p = config->peers;
    while (p) {
        bt_peer_t *next = p->next;
        peer_record_free(config, p);
        p = next;
    }
    config->peers = nullptr;
    membership_free(config);
    chunklist_free(config->mychunks);
    chunklist_free(config->masterchunks);
    chunklist_free(config->to_fetch_list);
    config->mychunks = config->masterchunks = config->to_fetch_list = nullptr;
    store_free(config);
    while (serve_option_t *option = config->serve_options) {
        config->serve_options = option->next;
        free(option);
    }
    if (config->output_handle) fclose(config->output_handle);
    config->output_handle = nullptr;
    config->download_in_progress = 0;
    progress_free(config);
}

// ---- the GET command -------------------------------------------------------------------------

// Whether a GET line names a file longer than the GET_NAME_MAX characters the command takes: cut
// there, its rest would be taken as the next name and create a file the user never named.
static bool get_name_too_long(const char *line) {
    if (strncmp(line, "GET", 3) != 0) return false;
    const char *p = line + 3;
    for (int name = 0; name < 2; name++) {
        while (*p && isspace(static_cast<unsigned char>(*p))) p++;
        size_t len = 0;
        while (p[len] && !isspace(static_cast<unsigned char>(p[len]))) len++;
        if (len > GET_NAME_MAX) return true;
        p += len;
    }
    return false;
}

void handle_user_input(char *line, void *cbdata) {
    char chunkf[GET_NAME_BUF];
    char outf[GET_NAME_BUF];
    memset(chunkf, 0, sizeof chunkf);
    memset(outf, 0, sizeof outf);
    if (get_name_too_long(line)) {
        fprintf(stderr, "Error: GET refused: a file name is longer than %zu characters\n",
                GET_NAME_MAX);
        return;
    }
    if (sscanf(line, "GET %120s %120s", chunkf, outf) <= 0) return;
    if (outf[0] == '\0') return;
    process_get(chunkf, outf, static_cast<bt_config_t *>(cbdata));
}

// Which of this peer's own files (master data, has-chunk, master chunk) or the request's hash
// file path names, by device and inode; nullptr when none. Opening it as a download's output
// would truncate the swarm's data or the request itself.
static const char *own_file_named(const bt_config_t *config, const char *chunkfile,
                                  const char *path) {
    struct stat out;
    if (stat(path, &out) != 0) return nullptr;
    const char *own[] = {config->chunk_data_file, config->has_chunk_file, config->chunk_file,
                         chunkfile};
    for (const char *name : own) {
        struct stat st;
        if (name[0] && stat(name, &st) == 0 && st.st_dev == out.st_dev && st.st_ino == out.st_ino)
            return name;
    }
    return store_served_file_named(config, path);
}

// The highest chunk index of a request list.
static int furthest_chunk_id(const chunkitem *list) {
    int furthest = 0;
    for (const chunkitem *c = list; c; c = c->next)
        if (c->id > furthest) furthest = c->id;
    return furthest;
}

// A request whose indices leave gaps makes its output longer than the chunks it names: chunk
// 1000000000 alone makes a file of 477 TB. Chunks fetched at their places in a larger file are
// the usual case, so only holes of more than HOLE_WARNING_BYTES are worth a word; the request is
// still fetched as asked.
constexpr long long HOLE_WARNING_BYTES = 1LL << 30;

static void warn_of_holes(int furthest, const chunkitem *list, const char *chunkfile,
                          const char *outputfile) {
    int count = chunklist_length(list);
    long long end = (static_cast<long long>(furthest) + 1) * CHUNK_SIZE;
    if (end - static_cast<long long>(count) * CHUNK_SIZE <= HOLE_WARNING_BYTES) return;
    fprintf(stderr,
            "Warning: %s names %d chunk%s, the furthest at index %d: %s will be %lld bytes "
            "long, most of it holes\n",
            chunkfile, count, count == 1 ? "" : "s", furthest, outputfile, end);
}

void process_get(char *chunkfile, char *outputfile, bt_config_t *config) {
    peer_start_download(config, chunkfile, outputfile, pass_time);
}

// Tells every other peer about the chunks of list (one IHAVE series each), and releases it.
static void announce_to_all(bt_config_t *config, chunkitem *list) {
    for (bt_peer_t *p = config->peers; p && list; p = p->next) {
        if (p->id != config->identity) sendIHave(config, list, &p->addr);
    }
    chunklist_free(list);
}

int peer_start_download(bt_config_t *config, const char *chunkfile, const char *outputfile,
                        double now) {
    debug_log(DEBUG_WHOHAS, "Handling user GET for (%s, %s)\n", chunkfile, outputfile);
    chunkitem *list = readHashesFromFile(chunkfile, 0, config);
    debug_log(DEBUG_WHOHAS, "user requested the following %d chunks: \n", chunklist_length(list));
    chunklist_print(list, DEBUG_WHOHAS);
    if (config->download_in_progress) {
        fprintf(stderr, "Error: you already have a download in progress!\n");
        chunklist_free(list);
        return -1;
    }
    // A WHOHAS needs at least one hash: a request without any is refused before it starts.
    if (!list) {
        fprintf(stderr, "Error: GET refused: %s cannot be read or holds no chunk hashes\n",
                chunkfile);
        return -1;
    }
    if (const char *own = own_file_named(config, chunkfile, outputfile)) {
        fprintf(stderr, "Error: GET refused: output file %s is this peer's own file %s\n",
                outputfile, own);
        chunklist_free(list);
        return -1;
    }
    const schedule_policy_t *policy = schedule_policy(config);
    FILE *out = policy->open_output(outputfile);
    if (!out) {
        fprintf(stderr, "Error: GET refused: cannot create output file %s: %s\n", outputfile,
                strerror(errno));
        chunklist_free(list);
        return -1;
    }
    config->to_fetch_list = list;  // the configuration owns the request list from now on
    config->last_chunk_id = furthest_chunk_id(list);
    warn_of_holes(config->last_chunk_id, list, chunkfile, outputfile);
    snprintf(config->output_file, sizeof config->output_file, "%s", outputfile);
    config->output_handle = out;
    config->output_end = 0;
    config->download_in_progress = 1;
    announce_to_all(config, policy->resume(config));
    chunkindex_start_download(config);
    progress_download_started(config, now);
    if (!config->to_fetch_list) {
        completeDownload(config, now);
        return 0;
    }
    sendWhoHasToPeers(config, config->to_fetch_list, now);
    return 0;
}
