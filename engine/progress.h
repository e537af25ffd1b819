// The progress display of a download on standard error: one refreshing line, a warning for
// chunks nobody announces, and a summary at the end. Shown with --progress, or by default when
// standard error is a terminal; otherwise none of it is written, so scripts see only the
// peer's usual messages.
#pragma once

#include "config/bt_parse.h"

constexpr double PROGRESS_REDRAW_S = 0.2;       // a terminal's line is redrawn at most this often
constexpr double PROGRESS_LINE_S = 1.0;         // elsewhere a new line at most this often
constexpr double UNANNOUNCED_WARNING_S = 10.0;  // chunks without an announcing peer this long

struct progress_s {
    int terminal;                   // truth value: standard error is a terminal, redraw in place
    int line_open;                  // truth value: a redrawn line without its newline is showing
    int downloading;                // truth value: between the GET and the end of its download
    double start;                   // seconds; when the GET was accepted
    double last_tick;               // seconds; the last redraw and check; 0: none yet
    int last_drawn_done;            // chunks done when the last plain line was written
    int total_chunks;               // chunks the GET asked for
    int done_chunks;                // chunks written so far
    long long bytes;                // bytes written so far
    int hash_failures;              // complete chunks that failed their hash check
    long retransmissions_at_start;  // config->retransmissions when the GET was accepted
    long long drops_at_start;       // vexlo_socket_drops() when the GET was accepted; -1: no count
    long long seal_drops_at_start;  // datagrams the sealing layer had dropped then
    double unannounced_since;  // seconds; since when some needed chunk has no announcer; 0: none
    int warned;                // truth value: the warning for this stretch was written
    int whole_file;            // truth value: counts are of the whole file (the front end's line)
    long long kept_bytes;      // bytes of the chunks already there when the GET was accepted
};
typedef struct progress_s progress_t;

// Turns the display on (config->progress, owned by the configuration for the whole run, freed by
// progress_free) when --progress was given, or when standard error is a terminal and
// --no-progress was not.
void progress_init(bt_config_t *config);
void progress_free(bt_config_t *config);

// The hooks of the engine; each does nothing while the display is off.
// A GET was accepted: to_fetch_list holds its chunks.
void progress_download_started(bt_config_t *config, double now);
// The front end's line: chunks and bytes counted of the whole file, whole_chunks of them, those
// already there (kept_bytes) included, with the percentage done, the size and the time left; the
// rate and the summary count only what this download fetched. Called after the GET was accepted.
void progress_count_whole_file(bt_config_t *config, int whole_chunks, long long kept_bytes);
// bytes of a verified chunk from peer were written to the output file.
void progress_chunk_written(bt_config_t *config, bt_peer_t *peer, int bytes);
// A complete chunk failed its hash check.
void progress_hash_failed(bt_config_t *config);
// Redraws the line and judges the chunks nobody announced; called on every pass of the loop.
void progress_tick(bt_config_t *config, double now);
// The download ended (completed or aborted): the last line and the summary.
void progress_download_ended(bt_config_t *config, bool completed, double now);
// Ends a line left open, before the process exits.
void progress_end_line(bt_config_t *config);
