// tolvane get HASHLIST OUT --peers LIST --id N: fetches the chunks HASHLIST names into OUT.
#pragma once

#include "frontend/options.h"

// Runs the get command; its exit status.
int run_get(int argc, char **argv, const front_options_t *o);
