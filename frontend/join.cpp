// tolvane share PATH... and tolvane get LINK [DEST]: a swarm joined with one link. The sharer
// hashes what it shares into the swarm's metadata (paths, sizes, chunk hashes), names the swarm by
// the metadata's SHA-256 and prints a link with that digest, its own address and the sealing key.
// A getter asks the link's entry points for the metadata's head (its length and the SHA-1 of its
// 512 KiB pieces), fetches the pieces as an ordinary download, checks the whole against the
// digest, and then fetches every file the metadata lists, one download after the other, each
// checked chunk by chunk. Every member serves the metadata and what it has verified, and the
// engine's open membership lets members find each other.
#include "frontend/join.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/chunklist.h"
#include "engine/membership.h"
#include "engine/peer.h"
#include "engine/progress.h"
#include "engine/store.h"
#include "engine/time_util.h"
#include "frontend/checks.h"
#include "frontend/chunkfile.h"
#include "frontend/get.h"
#include "frontend/link.h"
#include "frontend/metadata.h"
#include "frontend/session.h"
#include "shim/seal.h"

// Every metadata the front end builds or takes fits one head.
static_assert(META_MAX_BYTES <= static_cast<size_t>(META_MAX_PIECES) * META_PIECE_BYTES);

// While the metadata does not come, a line says so this often.
constexpr double ASK_REPORT_EVERY_S = 5.0;

// ---- the scratch folder ----------------------------------------------------------------------

// The hash lists the engine's downloads read and the metadata a member serves live in a private
// folder of the run, removed when the process ends.
static std::string scratch;
static std::vector<std::string> scratch_files;

static void remove_scratch() {
    for (const std::string &f : scratch_files) unlink(f.c_str());
    if (!scratch.empty()) rmdir(scratch.c_str());
}

static void make_scratch() {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/tolvane.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        fail_start("cannot make a folder in %s: %s", pattern.c_str(), strerror(errno));
    scratch = name.data();
    atexit(remove_scratch);
}

// Writes len bytes to the scratch file name; its path. Exits 2 when it cannot.
static std::string write_scratch(const char *name, const void *bytes, size_t len) {
    std::string path = scratch + "/" + name;
    FileHandle f(fopen(path.c_str(), "wb"), &fclose);
    scratch_files.push_back(path);
    if (!f || fwrite(bytes, 1, len, f.get()) != len || fflush(f.get()) != 0)
        fail_start("cannot write %s: %s", path.c_str(), strerror(errno));
    return path;
}

// ---- the address -----------------------------------------------------------------------------

// The address this host is reached at: the first IPv4 address of an interface that is up and not
// the loopback, or 127.0.0.1 when there is none.
static struct in_addr default_address() {
    struct in_addr found;
    found.s_addr = htonl(INADDR_LOOPBACK);
    struct ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) return found;
    for (const struct ifaddrs *i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        found = reinterpret_cast<const struct sockaddr_in *>(i->ifa_addr)->sin_addr;
        break;
    }
    freeifaddrs(all);
    return found;
}

// The address to bind and to name in a link: --bind, or default_address. A link names one
// address, the one the others send to, and sealed datagrams name it too: 0.0.0.0 will not do.
static struct in_addr linked_address(const front_options_t *o) {
    if (!o->bind_given) return default_address();
    if (o->bind.s_addr == htonl(INADDR_ANY))
        fail_usage(o, "takes --bind with the one address others reach this host at, not 0.0.0.0");
    return o->bind;
}

// ---- the engine ------------------------------------------------------------------------------

// A configuration for an open member bound to addr:--port, sealed with key unless it is nullptr.
static void make_linked_config(bt_config_t *config, int argc, char **argv, const front_options_t *o,
                               struct in_addr addr, const seal_key_t *key) {
    bt_init(config, argc, argv);
    config->max_tx_chunks = -1;
    config->swarm = 1;
    config->transport = o->transport;
    config->bind_addr = addr;
    config->myport = static_cast<unsigned short>(o->port);
    config->open_membership = 1;
    // A peer list given too: its peers are members from the start, never forgotten.
    if (o->peers) {
        snprintf(config->peer_list_file, sizeof config->peer_list_file, "%s", o->peers);
        char error[BT_PEER_LIST_ERROR_LEN];
        if (bt_read_peer_list(config, error, sizeof error) != 0) fail_start("%s", error);
    }
    config->sealed = key ? 1 : 0;
    if (key) memcpy(config->swarm_key, key->bytes, sizeof config->swarm_key);
    struct timeval now;
    gettimeofday(&now, nullptr);
    config->start_time_sec = timeval2double(&now);
    config->start_time_mono = now_seconds();
}

// The metadata's pieces are served like any file's chunks, from a scratch copy, and its head
// is handed to the engine, which answers the members that ask for it.
static void serve_metadata(bt_config_t *config, const std::vector<uint8_t> &bytes,
                           const uint8_t digest[META_DIGEST_BYTES]) {
    std::string path = write_scratch("swarm.meta", bytes.data(), bytes.size());
    std::string text;
    std::vector<file_chunk_t> pieces;
    struct stat opened;
    char why[WHY_LEN];
    if (hash_list_of_file(path.c_str(), nullptr, &text, &pieces, &opened, why, sizeof why) != 0)
        fail_start("%s", why);
    for (size_t i = 0; i < pieces.size(); i++)
        store_add(config, pieces[i].hash, path.c_str(), STORE_SERVED, static_cast<int>(i),
                  pieces[i].length);
    store_trust_file(config, path.c_str(), &opened);
    std::vector<meta_hash_t> hashes(pieces.size());
    for (size_t i = 0; i < pieces.size(); i++) memcpy(hashes[i].bytes, pieces[i].hash, HASH_SIZE);
    static_assert(sizeof(meta_hash_t) == HASH_SIZE);
    if (!membership_set_metadata(config, digest, static_cast<uint32_t>(bytes.size()),
                                 reinterpret_cast<const uint8_t(*)[HASH_SIZE]>(hashes.data()),
                                 static_cast<int>(pieces.size())))
        fail_start("the swarm's metadata (%s) does not fit its head",
                   size_text(static_cast<long long>(bytes.size())).c_str());
}

// ---- share -----------------------------------------------------------------------------------

static bool hashing_on_terminal;

static bool show_hashing(long long hashed, long long size) {
    if (stop_requested()) return false;
    if (hashing_on_terminal && size > 0)
        fprintf(stderr, "\r\x1b[Ktolvane: hashing... %d%% of %s",
                static_cast<int>(100 * hashed / size), size_text(size).c_str());
    return true;
}

// Where the shared file at metadata path p is on this host: p begins with the base name of one
// of the paths shared (or is it), which leads to it.
static std::string local_path_of(const front_options_t *o, const std::string &p) {
    for (const char *given : o->paths) {
        std::string g = given;
        while (g.size() > 1 && g.back() == '/') g.pop_back();
        size_t slash = g.rfind('/');
        std::string base = slash == std::string::npos ? g : g.substr(slash + 1);
        if (p == base) return g;
        if (p.compare(0, base.size() + 1, base + "/") == 0) return g + p.substr(base.size());
    }
    return p;
}

// The chunks of every shared file are served as hashed. A file whose status shows no change
// since before the hashing began is read for uploads without hashing again (until it changes);
// one that changed meanwhile is checked chunk by chunk as it is read.
static void serve_shared_files(bt_config_t *config, const front_options_t *o, const metadata_t &m,
                               const struct timespec &hashing_began) {
    for (const meta_file_t &f : m.files) {
        std::string local = local_path_of(o, f.path);
        for (size_t i = 0; i < f.chunks.size(); i++) {
            long long left =
                static_cast<long long>(f.size) - static_cast<long long>(i) * CHUNK_SIZE;
            int length = left < CHUNK_SIZE ? static_cast<int>(left) : CHUNK_SIZE;
            store_add(config, f.chunks[i].bytes, local.c_str(), STORE_SERVED, static_cast<int>(i),
                      length);
        }
        struct stat st;
        bool unchanged = stat(local.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                         static_cast<uint64_t>(st.st_size) == f.size &&
                         (st.st_ctim.tv_sec < hashing_began.tv_sec ||
                          (st.st_ctim.tv_sec == hashing_began.tv_sec &&
                           st.st_ctim.tv_nsec < hashing_began.tv_nsec));
        if (unchanged && !f.chunks.empty()) store_trust_file(config, local.c_str(), &st);
    }
}

// Hashes what o->paths name; exits 2 when it cannot, 128 + n on signal n.
static metadata_t build_metadata(const front_options_t *o) {
    std::vector<std::string> paths(o->paths.begin(), o->paths.end());
    hashing_on_terminal = isatty(STDERR_FILENO) == 1;
    fprintf(stderr, "tolvane: hashing %s...\n",
            paths.size() == 1 ? paths[0].c_str() : "the paths given");
    metadata_t m;
    std::vector<std::string> skipped;
    char why[WHY_LEN];
    int built = metadata_build(paths, show_hashing, &m, &skipped, why, sizeof why);
    if (hashing_on_terminal) fputs("\r\x1b[K", stderr);
    for (const std::string &s : skipped) fprintf(stderr, "tolvane: %s\n", s.c_str());
    if (built == 0) return m;
    if (!stop_requested()) fail_start("%s", why);
    fprintf(stderr, "tolvane: stopped by signal %d while hashing\n", peer_caught_signal());
    exit(EXIT_SIGNAL_BASE + peer_caught_signal());
}

static long long total_bytes(const metadata_t &m) {
    long long total = 0;
    for (const meta_file_t &f : m.files) total += static_cast<long long>(f.size);
    return total;
}

static void tell_how_to_join(const metadata_t &m, const link_t &l) {
    fprintf(stderr, "tolvane: sharing %s (%s) on %s\n",
            counted(static_cast<long long>(m.files.size()), "file").c_str(),
            size_text(total_bytes(m)).c_str(), address_text(l.entries[0]).c_str());
    if (l.has_key)
        fprintf(stderr,
                "tolvane: the link on standard output is all a getter needs; it holds the swarm's "
                "key, so hand it only to those who may read the files:\n"
                "  tolvane get LINK [DEST]\n");
    else
        fprintf(stderr,
                "tolvane: a public swarm: datagrams travel unsealed, anyone who reaches the "
                "members can read them and join; getters run\n"
                "  tolvane get LINK [DEST]\n");
    fprintf(stderr, "tolvane: serving until SIGINT (Ctrl-C) or SIGTERM\n");
}

int run_share_linked(int argc, char **argv, const front_options_t *o) {
    struct in_addr addr = linked_address(o);
    link_t l{};
    l.has_key = !o->public_swarm;
    seal_key_t key;
    if (l.has_key && seal_random_key(&key) != 0) fail_start("no random source for a swarm key");
    struct timespec hashing_began;
    clock_gettime(CLOCK_REALTIME, &hashing_began);
    metadata_t m = build_metadata(o);
    std::vector<uint8_t> bytes = metadata_encode(m);
    metadata_digest(bytes.data(), bytes.size(), l.digest);
    make_scratch();

    bt_config_t config;
    make_linked_config(&config, argc, argv, o, addr, l.has_key ? &key : nullptr);
    FILE *results = take_standard_output();
    peer_setup(&config);
    serve_metadata(&config, bytes, l.digest);
    serve_shared_files(&config, o, m, hashing_began);
    struct sockaddr_in self {};
    self.sin_family = AF_INET;
    self.sin_addr = addr;
    self.sin_port = htons(config.myport);
    l.entries.push_back(self);
    if (l.has_key) memcpy(l.key, key.bytes, sizeof l.key);
    sodium_memzero(&key, sizeof key);
    std::string text = link_format(l);
    sodium_memzero(l.key, sizeof l.key);
    tell_how_to_join(m, l);
    print_result(results, text.c_str());
    sodium_memzero(text.data(), text.size());
    return serve_to_the_end(&config, results);
}

// ---- get: the metadata -----------------------------------------------------------------------

// For the benchmarks: with TOLVANE_MEMBERS_AT_S=S, get says once how many members it knows S
// seconds after its start.
constexpr const char *MEMBERS_AT_ENV = "TOLVANE_MEMBERS_AT_S";
static double members_at_s;
static double run_start;
static bool members_told;

static int members_known(const bt_config_t *config) {
    int n = 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) n += p->id != config->identity;
    return n;
}

static void tell_members_once(bt_config_t *config, double now) {
    if (members_at_s <= 0 || members_told || now - run_start < members_at_s) return;
    members_told = true;
    progress_end_line(config);
    fprintf(stderr, "tolvane: %s known %g s after the start\n",
            counted(members_known(config), "member").c_str(), members_at_s);
}

static std::string entries_text(const link_t &l) {
    std::string text;
    for (const struct sockaddr_in &e : l.entries)
        text += (text.empty() ? "" : ", ") + address_text(e);
    return text;
}

// How long get waits for an answer: --timeout, or as long as a download waits for progress.
static double ask_limit(const front_options_t *o) {
    return o->timeout_s > 0 ? o->timeout_s : no_progress_limit();
}

// Passes until a member answers with the metadata's head. Exits 1 when none does in time, with
// what was tried; 128 + n on signal n.
static const meta_head_t *wait_for_head(bt_config_t *config, const front_options_t *o,
                                        const link_t &l, struct in_addr addr) {
    double start = now_seconds();
    double limit = ask_limit(o);
    double every = std::min(ASK_REPORT_EVERY_S, limit / 3);
    double next_report = start + every;
    bool stdin_open = false;
    for (;;) {
        const meta_head_t *head = membership_metadata_head(config);
        if (head) return head;
        if (peer_pass(config, nullptr, &stdin_open) != 0) {
            fprintf(stderr, "tolvane: stopped by signal %d while asking for the swarm's metadata\n",
                    peer_caught_signal());
            exit(EXIT_SIGNAL_BASE + peer_caught_signal());
        }
        double now = now_seconds();
        tell_members_once(config, now);
        int members = membership_live_count(config, now);
        if (now - start >= limit) {
            fprintf(stderr,
                    "tolvane: gave up after %g s: %s the swarm's metadata; asked %s from %s:%d. "
                    "Is the sharer still running, and can it reach this host at that address?\n",
                    limit, members > 0 ? "no member that answered holds" : "nobody answered for",
                    entries_text(l).c_str(), inet_ntoa(addr), config->myport);
            exit(EXIT_INCOMPLETE);
        }
        if (now >= next_report) {
            next_report = now + every;
            fprintf(stderr,
                    "tolvane: no answer yet after %.0f s: asking %s (%s heard from) for the "
                    "swarm's metadata; giving up after %g s\n",
                    now - start, entries_text(l).c_str(), counted(members, "member").c_str(),
                    limit);
        }
    }
}

static std::vector<uint8_t> read_whole(const std::string &path) {
    std::vector<uint8_t> bytes;
    FileHandle f(fopen(path.c_str(), "rb"), &fclose);
    if (!f) return bytes;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) bytes.insert(bytes.end(), buf, buf + n);
    return bytes;
}

// The pieces' hash list, as hashlist writes it.
static std::string pieces_hash_list(const meta_head_t *head) {
    std::string text;
    char hex[2 * HASH_SIZE + 1];
    for (int i = 0; i < head->count; i++) {
        binary2hex(head->pieces[i], HASH_SIZE, hex);
        text += std::to_string(i) + " " + hex + "\n";
    }
    return text;
}

// The swarm's metadata, fetched from its members and checked against the link: exits 1 when it
// cannot be had or does not match, 2 when it is not what a swarm may list.
static metadata_t fetch_metadata(bt_config_t *config, const front_options_t *o, const link_t &l,
                                 struct in_addr addr) {
    membership_want_metadata(config, l.digest);
    const meta_head_t *head = wait_for_head(config, o, l, addr);
    std::string list_text = pieces_hash_list(head);
    std::string list = write_scratch("swarm.meta.chunks", list_text.data(), list_text.size());
    std::string copy = scratch + "/swarm.meta";
    scratch_files.push_back(copy);
    front_options_t fo = *o;
    fo.file = list.c_str();
    fo.out = copy.c_str();
    fo.label = "the swarm's metadata";
    fo.out_label = "the swarm's metadata";
    int status = fetch_file(config, &fo, nullptr);
    if (status != EXIT_DONE) exit(status);
    std::vector<uint8_t> bytes = read_whole(copy);
    uint8_t digest[META_DIGEST_BYTES];
    metadata_digest(bytes.data(), bytes.size(), digest);
    if (memcmp(digest, l.digest, sizeof digest) != 0) {
        fprintf(stderr,
                "tolvane: the swarm's metadata (%s) does not match the link's digest; "
                "a member serves another swarm's, or the link is for another share\n",
                size_text(static_cast<long long>(bytes.size())).c_str());
        exit(EXIT_INCOMPLETE);
    }
    metadata_t m;
    char why[WHY_LEN];
    if (metadata_decode(bytes.data(), bytes.size(), &m, why, sizeof why) != 0)
        fail_start("the swarm's metadata matches the link but is refused: %s", why);
    serve_metadata(config, bytes, l.digest);
    return m;
}

// ---- get: the files --------------------------------------------------------------------------

// A folder that exists or is made here; exits 2 when it cannot be.
static int open_folder(const std::string &path) {
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
        fail_start("cannot make the folder %s: %s", path.c_str(), strerror(errno));
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        fail_start("%s: %s", path.c_str(), errno == ENOTDIR ? "not a folder" : strerror(errno));
    return fd;
}

// Where DEST is and what the files' paths below it are: a share of one file puts that file at
// DEST itself, in DEST's folder; any other share puts its files below the folder DEST.
struct destination_s {
    std::string dest;    // DEST as given, or the share's name, or "."
    std::string folder;  // the folder the relative paths start from
    bool single;         // the share is one file, placed at dest
};

static destination_s destination_of(const front_options_t *o, const metadata_t &m) {
    destination_s d;
    d.dest = o->dest ? o->dest : (m.name.empty() ? "." : m.name);
    d.single = !m.name.empty() && m.files.size() == 1 && m.files[0].path == m.name;
    if (!d.single) {
        d.folder = d.dest;
        return d;
    }
    size_t slash = d.dest.rfind('/');
    d.folder = slash == std::string::npos ? "." : d.dest.substr(0, slash + 1);
    return d;
}

// The path of f below d.folder.
static std::string relative_path(const destination_s &d, const metadata_t &m,
                                 const meta_file_t &f) {
    if (d.single) {
        size_t slash = d.dest.rfind('/');
        return slash == std::string::npos ? d.dest : d.dest.substr(slash + 1);
    }
    if (m.name.empty()) return f.path;
    return f.path.substr(m.name.size() + 1);
}

// Makes the file's folders and the file below the folder descriptor, refusing a way out of it and
// a symbolic link in the way; exits 2 when it cannot.
static void prepare_output(int folder_fd, const std::string &rel, const std::string &shown) {
    char why[WHY_LEN];
    int fd = metadata_open_output(folder_fd, rel, why, sizeof why);
    if (fd < 0) fail_start("refusing to write %s: %s", shown.c_str(), why);
    close(fd);
}

// Fetches every file of m into its place; the first status that is not EXIT_DONE, or EXIT_DONE.
static int fetch_files(bt_config_t *config, const front_options_t *o, const metadata_t &m,
                       const destination_s &d) {
    int folder_fd = open_folder(d.folder);
    int status = EXIT_DONE;
    for (size_t i = 0; i < m.files.size() && status == EXIT_DONE; i++) {
        const meta_file_t &f = m.files[i];
        std::string rel = relative_path(d, m, f);
        std::string out = d.single ? d.dest : d.folder + "/" + rel;
        prepare_output(folder_fd, rel, out);
        if (f.size == 0) {
            struct stat st;
            if (stat(out.c_str(), &st) == 0 && st.st_size > 0 && !o->force)
                fail_start(
                    "%s holds %s where the share has an empty file; not overwriting it "
                    "without --force",
                    out.c_str(), counted(st.st_size, "byte").c_str());
            if (truncate(out.c_str(), 0) != 0)
                fail_start("cannot write %s: %s", out.c_str(), strerror(errno));
            continue;
        }
        std::string text = metadata_hash_list(f);
        std::string name = "file" + std::to_string(i) + ".chunks";
        std::string list = write_scratch(name.c_str(), text.data(), text.size());
        front_options_t fo = *o;
        fo.file = list.c_str();
        fo.out = out.c_str();
        fo.label = f.path.c_str();
        status = fetch_file(config, &fo, nullptr);
    }
    close(folder_fd);
    return status;
}

// The link's text: from standard input for "-" (one line), or from the command line, whose copy
// in this process's arguments is wiped at once: it holds the swarm's key, and the command lines
// of a host are shown to every user of it (though ps may have caught it before).
static std::string take_link_text(char *arg) {
    std::string text;
    if (strcmp(arg, "-") != 0) {
        text = arg;
        sodium_memzero(arg, strlen(arg));
        return text;
    }
    char line[LINK_MAX_LEN + 64];
    if (!fgets(line, sizeof line, stdin)) fail_start("get -: no link on standard input");
    text = line;
    sodium_memzero(line, sizeof line);
    return text;
}

int run_get_linked(int argc, char **argv, const front_options_t *o) {
    link_t l;
    char why[WHY_LEN];
    std::string text = take_link_text(o->link);
    int parsed = link_parse(text.c_str(), &l, why, sizeof why);
    sodium_memzero(text.data(), text.size());
    if (parsed != 0) fail_start("bad link: %s", why);
    if (l.has_key && o->public_swarm)
        fail_usage(o, "takes no --public with a link that carries a key: its swarm is sealed");
    struct in_addr addr = linked_address(o);
    make_scratch();
    seal_key_t key;
    memcpy(key.bytes, l.key, sizeof key.bytes);
    sodium_memzero(l.key, sizeof l.key);

    bt_config_t config;
    make_linked_config(&config, argc, argv, o, addr, l.has_key ? &key : nullptr);
    sodium_memzero(&key, sizeof key);
    FILE *results = take_standard_output();
    peer_setup(&config);
    for (const struct sockaddr_in &e : l.entries) membership_add_entry(&config, &e);
    double start = now_seconds();
    const char *at = getenv(MEMBERS_AT_ENV);
    members_at_s = at ? parse_seconds(at) : 0;
    run_start = start;
    watch_download_passes(tell_members_once);
    metadata_t m = fetch_metadata(&config, o, l, addr);
    destination_s d = destination_of(o, m);
    int status = fetch_files(&config, o, m, d);
    if (status == EXIT_DONE) {
        fprintf(stderr, "tolvane: %s complete and verified: %s, %s in %.2f s\n", d.dest.c_str(),
                counted(static_cast<long long>(m.files.size()), "file").c_str(),
                size_text(total_bytes(m)).c_str(), now_seconds() - start);
        print_result(results, d.dest.c_str());
        if (o->seed) seed_until_signal(&config, d.dest.c_str());
    }
    releaseConfiguration(&config);
    fclose(results);
    return status;
}
