// tolvane share: hash a file once, write its hash list, serve it until SIGINT or SIGTERM.
#include "frontend/share.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/peer.h"
#include "engine/store.h"
#include "frontend/checks.h"
#include "frontend/chunkfile.h"
#include "frontend/session.h"

// ---- share -----------------------------------------------------------------------------------

// The hashing of FILE: one line naming it and its size, on a terminal redrawn with the
// percentage done.
struct hashing_display_s {
    const char *name;
    bool terminal;
    int percent_shown;  // -1: none yet
};
static hashing_display_s hashing;

static bool show_hashing(long long hashed, long long size) {
    if (stop_requested()) return false;
    if (hashed == 0 && !hashing.terminal)
        fprintf(stderr, "tolvane: hashing %s (%s)...\n", hashing.name, size_text(size).c_str());
    int percent = size > 0 ? static_cast<int>(100 * std::min(hashed, size) / size) : 100;
    if (hashing.terminal && percent != hashing.percent_shown) {
        fprintf(stderr, "\r\x1b[Ktolvane: hashing %s (%s)... %d%%", hashing.name,
                size_text(size).c_str(), percent);
        hashing.percent_shown = percent;
    }
    return true;
}

// Hashes FILE with its display; exits 2 when it cannot be read, 128 + n on signal n.
static void hash_shared_file(const front_options_t *o, std::string *text,
                             std::vector<file_chunk_t> *chunks, struct stat *opened) {
    hashing = {o->file, isatty(STDERR_FILENO) == 1, -1};
    char why[WHY_LEN];
    int hashed = hash_list_of_file(o->file, show_hashing, text, chunks, opened, why, sizeof why);
    if (hashing.terminal && hashing.percent_shown >= 0) fputs("\n", stderr);
    if (hashed == 0) return;
    if (!stop_requested()) fail_start("%s", why);
    fprintf(stderr, "tolvane: stopped by signal %d while hashing %s; no hash list was written\n",
            peer_caught_signal(), o->file);
    exit(EXIT_SIGNAL_BASE + peer_caught_signal());
}

// The chunks just hashed are served from FILE as they are: hashing it again to load them would
// double the wait. They are read for uploads without hashing while FILE's status stays what it
// was before it was hashed; once it changes, each is checked again as it is read.
static void serve_hashed_chunks(bt_config_t *config, const char *file,
                                const std::vector<file_chunk_t> &chunks,
                                const struct stat *opened) {
    for (size_t i = 0; i < chunks.size(); i++)
        store_add(config, chunks[i].hash, file, STORE_SERVED, static_cast<int>(i),
                  chunks[i].length);
    store_trust_file(config, file, opened);
}

static void tell_what_to_hand_out(const front_options_t *o, const bt_config_t *config, int chunks,
                                  bool written, const swarm_key_t *key) {
    fprintf(stderr, "tolvane: %s the hash list %s\n", written ? "wrote" : "kept",
            o->hashes.c_str());
    fprintf(stderr, "tolvane: sharing %s (%s) as peer %d on %s:%d\n", o->file,
            counted(chunks, "chunk").c_str(), o->id, inet_ntoa(config->bind_addr), config->myport);
    if (!key->sealed) {
        fprintf(stderr,
                "tolvane: a public swarm: datagrams travel unsealed, anyone who reaches the "
                "peers can read them and join\n"
                "tolvane: hand out %s and %s; with an id of that list, each fetches with\n"
                "  tolvane get %s OUT --peers %s --id ID --public\n",
                o->hashes.c_str(), o->peers, o->hashes.c_str(), o->peers);
        return;
    }
    fprintf(stderr,
            "tolvane: %s the swarm key %s (mode 0600): a secret that lets whoever holds it read "
            "and join this swarm\n",
            key->made ? "wrote" : "kept", key->path.c_str());
    fprintf(stderr,
            "tolvane: hand out %s and %s, and %s to the members only, over a private channel;\n"
            "  with an id of that list, each fetches with\n"
            "  tolvane get %s OUT --peers %s --id ID --key %s\n",
            o->hashes.c_str(), o->peers, key->path.c_str(), o->hashes.c_str(), o->peers,
            key->path.c_str());
    fprintf(stderr, "tolvane: serving until SIGINT (Ctrl-C) or SIGTERM\n");
}

int run_share(int argc, char **argv, const front_options_t *o) {
    struct in_addr bound = check_peers_and_bind(o, false);
    char why[WHY_LEN];
    if (same_file(o->hashes.c_str(), o->file) || same_file(o->hashes.c_str(), o->peers))
        fail_start("the hash list %s would overwrite %s", o->hashes.c_str(),
                   same_file(o->hashes.c_str(), o->file) ? o->file : o->peers);
    if (check_hash_list_path(o->hashes.c_str(), why, sizeof why) != 0) fail_start("%s", why);
    swarm_key_t key = find_swarm_key(o);
    std::string text;
    std::vector<file_chunk_t> chunks;
    struct stat opened;
    hash_shared_file(o, &text, &chunks, &opened);
    bool written = false;
    if (write_hash_list(o->hashes.c_str(), text, &written, why, sizeof why) != 0)
        fail_start("%s", why);
    keep_new_key(&key);

    bt_config_t config;
    make_config(&config, argc, argv, o, bound, &key);
    sodium_memzero(&key.key, sizeof key.key);
    FILE *results = take_standard_output();
    peer_setup(&config);
    serve_hashed_chunks(&config, o->file, chunks, &opened);
    tell_what_to_hand_out(o, &config, static_cast<int>(chunks.size()), written, &key);
    print_result(results, o->hashes.c_str());
    serve_until_signal(&config);
    fprintf(stderr, "tolvane: stopped by signal %d after %s\n", peer_caught_signal(),
            counted(config.tx_chunks, "upload").c_str());
    releaseConfiguration(&config);
    fclose(results);
    return EXIT_DONE;
}

