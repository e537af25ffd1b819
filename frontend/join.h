// The swarm a link names: tolvane share PATH... prints the link; tolvane get LINK [DEST] joins
// the swarm with nothing else, fetches what it shares from any member and serves it meanwhile.
#pragma once

#include "frontend/options.h"

// share PATH... without --peers: serves the files and folders until SIGINT or SIGTERM, the link
// on standard output. The exit status.
int run_share_linked(int argc, char **argv, const front_options_t *o);
// get LINK [DEST]: the swarm's metadata from its members, then every file it lists under DEST,
// each verified. The exit status.
int run_get_linked(int argc, char **argv, const front_options_t *o);
