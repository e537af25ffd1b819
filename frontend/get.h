// tolvane get HASHLIST OUT --peers LIST --id N: fetches the chunks HASHLIST names into OUT.
#pragma once

#include "frontend/options.h"

// Runs the get command; its exit status.
int run_get(int argc, char **argv, const front_options_t *o);

// One download on an engine already set up: the chunks the hash list o->file names into o->out,
// with every check of get (exits 2 when OUT will not do). results gets OUT's path once it is
// verified, unless it is nullptr. The exit status get would end with.
int fetch_file(bt_config_t *config, const front_options_t *o, FILE *results);
// NO_PROGRESS_GIVE_UP_S, or the seconds NO_PROGRESS_ENV gives: how long a get without --timeout
// waits without any progress before it gives up.
double no_progress_limit();
// Has watcher called on every pass of the downloads that follow, with the pass's time; nullptr:
// none.
void watch_download_passes(void (*watcher)(bt_config_t *config, double now));
// --seed: serves until SIGINT or SIGTERM, saying so about what.
void seed_until_signal(bt_config_t *config, const char *what);
