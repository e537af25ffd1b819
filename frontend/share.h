// tolvane share FILE --peers LIST --id N: hashes FILE, writes its hash list and serves it.
#pragma once

#include "frontend/options.h"

// Runs the share command; its exit status.
int run_share(int argc, char **argv, const front_options_t *o);
