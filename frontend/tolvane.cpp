// tolvane: one command to share a file and one to fetch it, over the peer engine with --swarm.
//
//   tolvane share FILE --peers LIST --id N [...]        serves FILE until SIGINT or SIGTERM
//   tolvane get HASHLIST OUT --peers LIST --id N [...]  fetches into OUT, resuming what is there
//
// Everything a user can get wrong is checked before the engine starts (status 2). Standard
// output carries only the line a script reads: the hash list's path once share serves, OUT's
// path once get has verified it. Whatever the engine writes on standard output goes to standard
// error instead, and the shim's pass-through notice is not printed at all.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "engine/peer.h"
#include "frontend/get.h"
#include "frontend/options.h"
#include "frontend/share.h"

// ---- main ------------------------------------------------------------------------------------

int main(int argc, char **argv) {
    open_standard_descriptors();
    signal(SIGINT, catch_sig);
    signal(SIGTERM, catch_sig);
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(kMainHelp, argc < 2 ? stderr : stdout);
        return argc < 2 ? EXIT_BAD_START : EXIT_DONE;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("tolvane %s\n", TOLVANE_VERSION);
        return EXIT_DONE;
    }
    front_options_t options{};
    if (strcmp(argv[1], "share") != 0 && strcmp(argv[1], "get") != 0) {
        fail_start("no command '%s'; the commands are share and get (see 'tolvane --help')",
                   argv[1]);
    }
    parse_options(argc - 1, argv + 1, &options);
    if (strcmp(options.command, "share") == 0) return run_share(argc, argv, &options);
    return run_get(argc, argv, &options);
}

