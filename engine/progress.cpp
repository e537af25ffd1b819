#include "engine/progress.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "engine/chunkindex.h"
#include "engine/chunklist.h"
#include "engine/time_util.h"
#include "shim/seal.h"
#include "shim/vexlo.h"

constexpr double MB = 1e6;  // rates in MB/s, as the demo and the benchmarks give them
constexpr double MIB = 1024.0 * 1024.0;
constexpr size_t LINE_MAX_BYTES = 1024;

// A line being put together; text past its room is dropped, never written beyond it.
struct line_buf {
    char text[LINE_MAX_BYTES];
    size_t len;
};

[[gnu::format(printf, 2, 3)]] static void append(line_buf *line, const char *fmt, ...) {
    if (line->len >= sizeof line->text - 1) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line->text + line->len, sizeof line->text - line->len, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    size_t room = sizeof line->text - 1 - line->len;
    line->len += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
}

// ---- set-up ----------------------------------------------------------------------------------

void progress_init(bt_config_t *config) {
    bool terminal = isatty(STDERR_FILENO) == 1;
    bool on = config->progress_mode == PROGRESS_ON ||
              (config->progress_mode == PROGRESS_AUTO && terminal);
    if (!on) return;
    auto *p = static_cast<progress_t *>(calloc(1, sizeof(progress_t)));
    assert(p && "progress");
    p->terminal = terminal;
    config->progress = p;
}

void progress_free(bt_config_t *config) {
    free(config->progress);
    config->progress = nullptr;
}

// ---- the line --------------------------------------------------------------------------------

// Bytes this download fetched, without those that were there already.
static long long fetched_bytes(const progress_t *p) {
    return p->bytes - p->kept_bytes;
}

static double rate_mb_s(const progress_t *p, double seconds) {
    return seconds > 0 ? static_cast<double>(fetched_bytes(p)) / MB / seconds : 0.0;
}

// Peers a chunk of the download is requested from or arriving from.
static int active_connections(const bt_config_t *config) {
    int n = 0;
    for (const bt_peer_t *peer = config->peers; peer; peer = peer->next) {
        if (peer->receiving_chunk) n++;
    }
    return n;
}

static const char *plural(long long n) {
    return n == 1 ? "" : "s";
}

// "ETA 12 s", "ETA 3:05", "ETA 1:02:03"; "ETA --" before anything has been fetched.
static void append_time_left(const progress_t *p, double seconds, line_buf *line) {
    double rate = seconds > 0 ? static_cast<double>(fetched_bytes(p)) / seconds : 0.0;
    if (rate <= 0) {
        append(line, "ETA --");
        return;
    }
    double left_bytes = static_cast<double>(p->total_chunks - p->done_chunks) * CHUNK_SIZE;
    long left = static_cast<long>(left_bytes / rate + 0.5);
    if (left < 60) {
        append(line, "ETA %ld s", left);
    } else if (left < 3600) {
        append(line, "ETA %ld:%02ld", left / 60, left % 60);
    } else {
        append(line, "ETA %ld:%02ld:%02ld", left / 3600, left / 60 % 60, left % 60);
    }
}

// "45%  12/32 chunks  6.0 of 16.0 MiB  11.3 MB/s  ETA 1 s  4 connections  0 retransmissions  1 s"
static void compose_whole_file_line(const bt_config_t *config, double now, line_buf *line) {
    const progress_t *p = config->progress;
    double seconds = now - p->start;
    int percent = p->total_chunks > 0 ? static_cast<int>(100LL * p->done_chunks / p->total_chunks)
                                      : 100;
    int connections = active_connections(config);
    long resent = config->retransmissions - p->retransmissions_at_start;
    append(line, "%d%%  %d/%d chunk%s  %.1f of %.1f MiB  %.1f MB/s  ", percent, p->done_chunks,
           p->total_chunks, plural(p->total_chunks), static_cast<double>(p->bytes) / MIB,
           static_cast<double>(p->total_chunks) * CHUNK_SIZE / MIB, rate_mb_s(p, seconds));
    append_time_left(p, seconds, line);
    append(line, "  %d connection%s  %ld retransmission%s  %.0f s", connections,
           plural(connections), resent, plural(resent), seconds);
}

static void compose_line(const bt_config_t *config, double now, line_buf *line) {
    const progress_t *p = config->progress;
    if (p->whole_file) {
        compose_whole_file_line(config, now, line);
        return;
    }
    double seconds = now - p->start;
    append(line, "%d/%d chunks  %.1f MiB  %.1f MB/s  %d connections  %ld retransmissions  %.0f s",
           p->done_chunks, p->total_chunks, static_cast<double>(p->bytes) / MIB,
           rate_mb_s(p, seconds), active_connections(config),
           config->retransmissions - p->retransmissions_at_start, seconds);
}

// On a terminal the line is redrawn in place; elsewhere (--progress into a file or pipe) each
// state is a line of its own, written only when a chunk has completed since the last one.
static void draw_line(bt_config_t *config, double now) {
    progress_t *p = config->progress;
    line_buf line{};
    if (p->terminal) {
        append(&line, "\r\x1b[K");
        compose_line(config, now, &line);
        p->line_open = 1;
    } else {
        if (p->done_chunks == p->last_drawn_done) return;
        compose_line(config, now, &line);
        append(&line, "\n");
        p->last_drawn_done = p->done_chunks;
    }
    fputs(line.text, stderr);
}

void progress_end_line(bt_config_t *config) {
    progress_t *p = config->progress;
    if (!p || !p->line_open) return;
    fputs("\n", stderr);
    p->line_open = 0;
}

// ---- chunks nobody announced -----------------------------------------------------------------

// Names the peers the WHOHAS went to, so that a dead peer, a wrong port or a wrong router shows.
static void write_unannounced_warning(bt_config_t *config, int missing) {
    const progress_t *p = config->progress;
    line_buf line{};
    append(&line,
           "warning: %d of %d chunks still to fetch have had no announcing peer for %.0f s;"
           " asked peers",
           missing, p->total_chunks - p->done_chunks, UNANNOUNCED_WARNING_S);
    const char *sep = " ";
    for (const bt_peer_t *peer = config->peers; peer; peer = peer->next) {
        if (peer->id == config->identity) continue;
        append(&line, "%s%d (%s:%d)", sep, peer->id, inet_ntoa(peer->addr.sin_addr),
               ntohs(peer->addr.sin_port));
        sep = ", ";
    }
    if (giVexloEnabled) {
        append(&line, " through the router at %s:%d", inet_ntoa(gsVexloRouter.sin_addr),
               ntohs(gsVexloRouter.sin_port));
    }
    append(&line, "\n");
    progress_end_line(config);
    fputs(line.text, stderr);
}

static void judge_unannounced(bt_config_t *config, double now) {
    progress_t *p = config->progress;
    int missing = chunkindex_unannounced(config);
    if (missing == 0) {
        p->unannounced_since = 0;
        p->warned = 0;
        return;
    }
    if (p->unannounced_since == 0) p->unannounced_since = now;
    if (!p->warned && now - p->unannounced_since >= UNANNOUNCED_WARNING_S) {
        write_unannounced_warning(config, missing);
        p->warned = 1;
    }
}

// ---- the hooks -------------------------------------------------------------------------------

void progress_download_started(bt_config_t *config, double now) {
    progress_t *p = config->progress;
    if (!p) return;
    p->downloading = 1;
    p->start = now;
    p->last_tick = 0;
    p->last_drawn_done = 0;
    p->total_chunks = chunklist_length(config->to_fetch_list);
    p->done_chunks = 0;
    p->bytes = 0;
    p->hash_failures = 0;
    p->retransmissions_at_start = config->retransmissions;
    p->drops_at_start = vexlo_socket_drops();
    p->seal_drops_at_start = gpSeal ? seal_dropped(gpSeal) : 0;
    p->unannounced_since = now;
    p->warned = 0;
    p->whole_file = 0;
    p->kept_bytes = 0;
    for (bt_peer_t *peer = config->peers; peer; peer = peer->next) peer->progress_chunks = 0;
}

void progress_count_whole_file(bt_config_t *config, int whole_chunks, long long kept_bytes) {
    progress_t *p = config->progress;
    if (!p || !p->downloading) return;
    p->whole_file = 1;
    p->done_chunks += whole_chunks - p->total_chunks;
    p->total_chunks = whole_chunks;
    p->last_drawn_done = p->done_chunks;
    p->kept_bytes = kept_bytes;
    p->bytes += kept_bytes;
}

void progress_chunk_written(bt_config_t *config, bt_peer_t *peer, int bytes) {
    progress_t *p = config->progress;
    if (!p || !p->downloading) return;
    p->done_chunks++;
    p->bytes += bytes;
    peer->progress_chunks++;
}

void progress_hash_failed(bt_config_t *config) {
    if (config->progress) config->progress->hash_failures++;
}

void progress_tick(bt_config_t *config, double now) {
    progress_t *p = config->progress;
    if (!p || !p->downloading) return;
    double interval = p->terminal ? PROGRESS_REDRAW_S : PROGRESS_LINE_S;
    if (p->last_tick != 0 && now - p->last_tick < interval) return;
    p->last_tick = now;
    draw_line(config, now);
    judge_unannounced(config, now);
}


// Datagrams the socket dropped for want of room since the download began, appended where the
// kernel keeps that count.
static void append_socket_drops(const progress_t *p, line_buf *line) {
    long long drops = vexlo_socket_drops();
    if (drops < 0 || p->drops_at_start < 0) return;
    append(line, "; socket drops: %lld", drops - p->drops_at_start);
}

// "summary: <bytes> bytes in <s> s, <MB/s> MB/s; chunks per peer: <id>:<n> ...; ..."
void progress_download_ended(bt_config_t *config, bool completed, double now) {
    progress_t *p = config->progress;
    if (!p || !p->downloading) return;
    if (p->terminal) draw_line(config, now);
    progress_end_line(config);
    double seconds = now - p->start;
    line_buf line{};
    append(&line, "summary%s: %lld bytes in %.2f s, %.1f MB/s; chunks per peer:",
           completed ? "" : " (aborted)", fetched_bytes(p), seconds, rate_mb_s(p, seconds));
    bool any = false;
    for (const bt_peer_t *peer = config->peers; peer; peer = peer->next) {
        if (peer->progress_chunks == 0) continue;
        append(&line, " %d:%d", peer->id, peer->progress_chunks);
        any = true;
    }
    append(&line, "%s; hash failures: %d; retransmissions: %ld", any ? "" : " none",
           p->hash_failures, config->retransmissions - p->retransmissions_at_start);
    append_socket_drops(p, &line);
    // Sealed: the datagrams that did not open (strangers, other keys, replays), since the GET.
    if (gpSeal)
        append(&line, "; sealed drops: %lld", seal_dropped(gpSeal) - p->seal_drops_at_start);
    append(&line, "\n");
    fputs(line.text, stderr);
    p->downloading = 0;
}
