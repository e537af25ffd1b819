// What tolvane's two commands have in common: the checks of the peer list and the address to
// bind, the engine's configuration, its standard streams, and the passes of its loop.
#pragma once

#include <netinet/in.h>

#include <cstdio>
#include <string>

#include "config/bt_parse.h"
#include "frontend/options.h"
#include "shim/seal.h"

// The key a swarm's datagrams are sealed with, and where it came from.
struct swarm_key_s {
    bool sealed;       // false: --public
    seal_key_t key;
    std::string path;  // its key file
    bool made;         // share: a new random key, written to path by keep_new_key
};
typedef struct swarm_key_s swarm_key_t;

// The one place the key is found: --key, TOLVANE_KEY_FILE, or for share FILE.key, made anew
// when missing. Exits 2 when there is none to be had.
swarm_key_t find_swarm_key(const front_options_t *o);
// share: writes a key find_swarm_key made. Exits 2 when it cannot.
void keep_new_key(const swarm_key_t *k);
// The key file of a sealed run, for its messages; empty when public.
const char *swarm_key_path();

// The checks both commands share: name lengths, the peer list, the address to bind. Exits 2 on a
// failure; the address to bind otherwise.
struct in_addr check_peers_and_bind(const front_options_t *o, bool need_others);
// "127.0.0.1:41002".
std::string address_text(const struct sockaddr_in &addr);
// Writes all len bytes to fd, again after EINTR; gives up on any other failure.
void write_all(int fd, const char *bytes, size_t len);
// A configuration as peer_main's would be after parsing, for this peer of the checked list.
// peer_setup hands the key to the shim and wipes it from the record.
void make_config(bt_config_t *config, int argc, char **argv, const front_options_t *o,
                 struct in_addr bound, const swarm_key_t *key);
// Standard output is kept for the front end's own result lines, returned as a stream; what the
// engine writes on standard output goes to standard error from now on, and what it writes on
// standard error is filtered: the raw lines of a failed write of OUT are left out.
FILE *take_standard_output();
// One result line on the kept standard output, flushed.
void print_result(FILE *results, const char *line);
// Passes of the event loop until SIGINT or SIGTERM.
void serve_until_signal(bt_config_t *config);
// Whether SIGINT or SIGTERM came.
bool stop_requested();
// Peers of the list other than this one, as "2 (127.0.0.1:41002), 3 (...)".
std::string other_peers(const bt_config_t *config);
// The download of out is running: the engine's line that aborts it is taken off standard error,
// its reason kept for engine_abort_reason.
void expect_abort_line(const char *out);
// The reason of the last abort line left out; empty when none.
const char *engine_abort_reason();
