// tolvane's command line: the options of share and get, the help texts, and the one line a
// start-up failure ends with.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>
#include <vector>

#include "config/bt_parse.h"

constexpr int EXIT_DONE = 0;                  // share stopped; get: OUT complete and verified
constexpr int EXIT_INCOMPLETE = 1;            // get: timed out or cannot complete
constexpr int EXIT_BAD_START = 2;             // a check before the start failed
constexpr int EXIT_SIGNAL_BASE = 128;         // get stopped by signal n before the end: 128 + n
constexpr double NO_PROGRESS_GIVE_UP_S = 60.0;  // get without --timeout: no DATA this long
// Shortens NO_PROGRESS_GIVE_UP_S for the tests, which cannot wait a minute; not documented.
constexpr const char *NO_PROGRESS_ENV = "TOLVANE_NO_PROGRESS_S";
constexpr double MAX_TIMEOUT_S = 1e7;
constexpr size_t WHY_LEN = 1024;
constexpr const char *TOLVANE_VERSION = "1.0";
// The key file's path when --key is not given; share makes the file when it is missing.
constexpr const char *KEY_FILE_ENV = "TOLVANE_KEY_FILE";

// What the command line of share or get says.
struct front_options_s {
    const char *command;  // "share" or "get"
    const char *file;     // share: FILE; get: HASHLIST
    const char *out;      // get: OUT
    const char *label;      // get: what messages call the hash list; nullptr: its path
    const char *out_label;  // get: what messages call OUT; nullptr: its path
    const char *peers;    // --peers
    int id;               // --id; 0 until given
    std::string hashes;   // share: --hashes, or FILE.chunks
    bool bind_given;      // --bind was given
    struct in_addr bind;  // --bind
    int transport;        // TRANSPORT_ADAPTIVE unless --transport classic
    double timeout_s;     // get --timeout; 0: none
    bool seed;            // get --seed
    bool force;           // get --force
    const char *key_file; // --key; nullptr: TOLVANE_KEY_FILE, or for share FILE.key
    bool public_swarm;    // --public: no key, plain datagrams
    // The swarm a link names: share without --peers, get of a LINK.
    bool linked;
    std::vector<const char *> paths;  // share: PATH..., files and folders
    char *link;                       // get: LINK as argv holds it ("-": standard input)
    const char *dest;                 // get: DEST; nullptr: the current folder
    int port;                         // --port; 0: any free port
    bool port_given;                  // --port was given
};
typedef struct front_options_s front_options_t;

// The usage text of tolvane itself (--help and no command).
extern const char kMainHelp[];

// Writes "tolvane: <message>" as one line on standard error and exits with EXIT_BAD_START.
[[noreturn, gnu::format(printf, 1, 2)]] void fail_start(const char *fmt, ...);
// fail_start with "<command> <what> (see 'tolvane <command> --help')".
[[noreturn]] void fail_usage(const front_options_t *o, const char *what);
// Seconds above 0 and at most MAX_TIMEOUT_S written as a number; 0 for anything else.
double parse_seconds(const char *text);
// Fills *o from the subcommand's arguments (argv[0] is the subcommand); prints the help and
// exits 0 on --help; exits 2 on anything wrong.
void parse_options(int argc, char **argv, front_options_t *o);
