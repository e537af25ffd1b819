#include "config/bt_parse.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <getopt.h>

#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/debug.h"
#include "engine/membership.h"
#include "shim/seal.h"

static constexpr char _bt_optstring[] = "x:p:c:f:m:i:t:d:h";

// Long options: additions beside the short options, which keep their meaning.
enum long_option_code {
    OPT_TRANSPORT = 256,
    OPT_WINDOW_LOG,
    OPT_HELP,
    OPT_BIND,
    OPT_PROGRESS,
    OPT_NO_PROGRESS,
    OPT_SWARM,
    OPT_SERVE,
    OPT_UPLOAD_SLOTS,
    OPT_RECEIVE_BUFFER,
    OPT_KEY,
    OPT_OPEN,
    OPT_ENTRY,
    OPT_PORT
};
static const struct option _bt_longopts[] = {
    {"transport", required_argument, nullptr, OPT_TRANSPORT},
    {"window-log", required_argument, nullptr, OPT_WINDOW_LOG},
    {"help", no_argument, nullptr, OPT_HELP},
    {"bind", required_argument, nullptr, OPT_BIND},
    {"progress", no_argument, nullptr, OPT_PROGRESS},
    {"no-progress", no_argument, nullptr, OPT_NO_PROGRESS},
    {"swarm", no_argument, nullptr, OPT_SWARM},
    {"serve", required_argument, nullptr, OPT_SERVE},
    {"upload-slots", required_argument, nullptr, OPT_UPLOAD_SLOTS},
    {"receive-buffer", required_argument, nullptr, OPT_RECEIVE_BUFFER},
    {"key", required_argument, nullptr, OPT_KEY},
    {"open", no_argument, nullptr, OPT_OPEN},
    {"entry", required_argument, nullptr, OPT_ENTRY},
    {"port", required_argument, nullptr, OPT_PORT},
    {nullptr, 0, nullptr, 0},
};
static constexpr size_t BT_MAX_NAME = BT_FILENAME_LEN - 1;  // characters a name field holds
static constexpr char WHITE_SPACE[] = " \t\n\v\f\r";        // isspace in the C locale

// ---- small helpers ------------------------------------------------------------------------

// A start-up failure: one line on standard error, then status -1 (255 to the parent).
[[noreturn, gnu::format(printf, 1, 2)]] static void startup_failure(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    exit(-1);
}

static const char *program_name(const bt_config_t *config) {
    return (config->argc > 0 && config->argv[0] != nullptr) ? config->argv[0] : "peer";
}

// ---- initialisation and options -----------------------------------------------------------

void bt_init(bt_config_t *config, int argc, char **argv) {
    assert(config != nullptr);
    memset(config, 0, sizeof *config);
    strcpy(config->output_file, "output.dat");
    strcpy(config->peer_list_file, "nodes.map");
    config->bind_addr.s_addr = htonl(INADDR_LOOPBACK);
    config->argc = argc;
    config->argv = argv;
}

// The name fields hold BT_MAX_NAME characters; a longer -p, -c or -f argument is refused rather
// than cut, since a shortened name would silently open some other file.
static void copy_name_option(char *field, int opt, const char *arg) {
    size_t len = strlen(arg);
    if (len > BT_MAX_NAME) {
        startup_failure("bt_parse error:  Argument of -%c is longer than %zu characters!\n", opt,
                        BT_MAX_NAME);
    }
    memcpy(field, arg, len + 1);
}

// --serve HASHFILE=FILE: appended to the configuration's list, in command-line order; the files
// themselves are checked when the store is loaded.
static void add_serve_option(bt_config_t *config, const char *arg) {
    const char *equals = strchr(arg, '=');
    if (equals == nullptr || equals == arg || equals[1] == '\0') {
        startup_failure("bt_parse error:  --serve takes HASHFILE=FILE, not '%s'\n", arg);
    }
    size_t hash_len = static_cast<size_t>(equals - arg);
    size_t data_len = strlen(equals + 1);
    if (hash_len > BT_MAX_NAME || data_len > BT_MAX_NAME) {
        startup_failure("bt_parse error:  --serve names a file longer than %zu characters\n",
                        BT_MAX_NAME);
    }
    auto *option = static_cast<serve_option_t *>(calloc(1, sizeof(serve_option_t)));
    assert(option != nullptr && "--serve record");
    memcpy(option->hashfile, arg, hash_len);
    memcpy(option->datafile, equals + 1, data_len);
    serve_option_t **tail = &config->serve_options;
    while (*tail) tail = &(*tail)->next;
    *tail = option;
}

// --receive-buffer BYTES: digits only, up to BT_MAX_RECEIVE_BUFFER; 0 keeps the kernel's size.
static void set_receive_buffer(bt_config_t *config, const char *arg) {
    bool digits = arg[0] != '\0' && strspn(arg, "0123456789") == strlen(arg);
    long bytes = digits && strlen(arg) <= 10 ? strtol(arg, nullptr, 10) : -1;
    if (bytes < 0 || bytes > BT_MAX_RECEIVE_BUFFER) {
        startup_failure(
            "bt_parse error:  --receive-buffer takes a number of bytes from 0 to %d, not '%s'\n",
            BT_MAX_RECEIVE_BUFFER, arg);
    }
    config->receive_buffer = bytes == 0 ? -1 : static_cast<int>(bytes);
}

// --key FILE: the swarm key, read now so that a bad file ends the start before the socket.
static void set_key(bt_config_t *config, const char *path) {
    static_assert(sizeof config->swarm_key == SEAL_KEY_BYTES);
    seal_key_t key;
    char why[BT_PEER_LIST_ERROR_LEN];
    if (seal_read_key_file(path, &key, why, sizeof why) != 0)
        startup_failure("bt_parse error:  --key: %s\n", why);
    memcpy(config->swarm_key, key.bytes, sizeof config->swarm_key);
    sodium_memzero(&key, sizeof key);
    config->sealed = 1;
}

// A whole number from lo to hi, digits only; -1 otherwise.
static long bounded_number(const char *arg, long lo, long hi) {
    bool digits = arg[0] != '\0' && strspn(arg, "0123456789") == strlen(arg);
    long n = digits && strlen(arg) <= 10 ? strtol(arg, nullptr, 10) : -1;
    return n >= lo && n <= hi ? n : -1;
}

// --entry ADDR:PORT, a dotted IPv4 address and a port from 1 to 65535.
static void add_entry_option(bt_config_t *config, const char *arg) {
    const char *colon = strrchr(arg, ':');
    char host[INET_ADDRSTRLEN];
    struct sockaddr_in entry{};
    entry.sin_family = AF_INET;
    size_t host_len = colon ? static_cast<size_t>(colon - arg) : 0;
    long port = colon ? bounded_number(colon + 1, 1, 65535) : -1;
    if (host_len == 0 || host_len >= sizeof host || port < 0) {
        startup_failure("bt_parse error:  --entry takes ADDRESS:PORT, not '%s'\n", arg);
    }
    memcpy(host, arg, host_len);
    host[host_len] = '\0';
    if (inet_pton(AF_INET, host, &entry.sin_addr) != 1) {
        startup_failure("bt_parse error:  --entry takes an IPv4 address, not '%s'\n", host);
    }
    entry.sin_port = htons(static_cast<uint16_t>(port));
    if (!membership_add_entry(config, &entry)) {
        startup_failure("bt_parse error:  at most %d --entry points\n", MEMBER_MAX_ENTRIES);
    }
}

// Applies one option returned by getopt, in command-line order: a repeated option overwrites,
// except -d whose bits accumulate in the debug mask.
static void apply_option(bt_config_t *config, int opt, const char *arg) {
    switch (opt) {
        case 'x':
            config->max_tx_chunks = leading_decimal(arg);
            break;
        case 'p':
            copy_name_option(config->peer_list_file, opt, arg);
            break;
        case 'c':
            copy_name_option(config->has_chunk_file, opt, arg);
            break;
        case 'f':
            copy_name_option(config->chunk_file, opt, arg);
            break;
        case 'm':
            config->max_conn = leading_decimal(arg);
            break;
        // Identities are 16-bit signed values: only the low 16 bits count, so 65538 is 2.
        case 'i':
            config->identity = static_cast<short>(leading_decimal(arg));
            break;
        case 't':
            config->test = leading_decimal(arg);
            break;
        case 'd':
            if (set_debug(arg) == -1) {
                startup_failure(
                    "%s:  Invalid debug argument.  Use -d list  to see debugging options.\n",
                    program_name(config));
            }
            break;
        case 'h':
            bt_help();
            exit(0);
        case OPT_HELP:
            bt_help();
            bt_help_long_options();
            exit(0);
        case OPT_TRANSPORT:
            if (strcmp(arg, "classic") == 0) {
                config->transport = TRANSPORT_CLASSIC;
            } else if (strcmp(arg, "adaptive") == 0) {
                config->transport = TRANSPORT_ADAPTIVE;
            } else {
                startup_failure(
                    "bt_parse error:  --transport takes classic or adaptive, not '%s'\n", arg);
            }
            break;
        case OPT_WINDOW_LOG:
            if (strlen(arg) > BT_MAX_NAME) {
                startup_failure(
                    "bt_parse error:  Argument of --window-log is longer than %zu "
                    "characters!\n",
                    BT_MAX_NAME);
            }
            memcpy(config->window_log_file, arg, strlen(arg) + 1);
            break;
        case OPT_BIND:
            if (inet_pton(AF_INET, arg, &config->bind_addr) != 1) {
                startup_failure("bt_parse error:  --bind takes an IPv4 address, not '%s'\n", arg);
            }
            break;
        case OPT_PROGRESS:
            config->progress_mode = PROGRESS_ON;
            break;
        case OPT_NO_PROGRESS:
            config->progress_mode = PROGRESS_OFF;
            break;
        case OPT_SWARM:
            config->swarm = 1;
            break;
        case OPT_SERVE:
            add_serve_option(config, arg);
            break;
        case OPT_UPLOAD_SLOTS:
            config->upload_slots = leading_decimal(arg);
            if (config->upload_slots < 1 || config->upload_slots > BT_MAX_UPLOAD_SLOTS) {
                startup_failure(
                    "bt_parse error:  --upload-slots takes a number from 1 to %d, not '%s'\n",
                    BT_MAX_UPLOAD_SLOTS, arg);
            }
            break;
        case OPT_RECEIVE_BUFFER:
            set_receive_buffer(config, arg);
            break;
        case OPT_KEY:
            set_key(config, arg);
            break;
        case OPT_OPEN:
            config->open_membership = 1;
            break;
        case OPT_ENTRY:
            add_entry_option(config, arg);
            break;
        case OPT_PORT: {
            long port = bounded_number(arg, 0, 65535);
            if (port < 0)
                startup_failure("bt_parse error:  --port takes a number from 0 to 65535, not '%s'\n",
                                arg);
            config->myport = static_cast<unsigned short>(port);
            break;
        }
        default:
            // getopt has already described the problem in its own words.
            bt_usage();
            exit(-1);
    }
}

// The two master files, which every peer needs, list or none.
static void check_files(const bt_config_t *config) {
    if (config->chunk_file[0] == '\0') {
        startup_failure("bt_parse error:  No master chunk file given (-f)!\n");
    }
    if (config->has_chunk_file[0] == '\0') {
        startup_failure("bt_parse error:  No chunk file given (-c)!\n");
    }
}

// The checks that follow the peer list, in their fixed order: zero identity, own record, files.
static void check_identity_and_files(bt_config_t *config) {
    if (config->identity == 0)
        startup_failure("bt_parse error:  Node identity must not be zero!\n");
    const bt_peer_t *me = bt_peer_info(config, config->identity);
    if (me == nullptr) {
        startup_failure("bt_parse error:  No peer information for myself (id %d)!\n",
                        config->identity);
    }
    config->myport = ntohs(me->addr.sin_port);
    check_files(config);
}

// What --open, --entry and --port allow together: an open member without -p reads no peer list
// and gets its id at the start unless -i gives one; --entry and --port need --open, and --port a
// peer without a list (a listed peer's port is its line's).
static void check_membership_options(const bt_config_t *config, bool list_given,
                                     bool entry_given, bool port_given) {
    if (!config->open_membership && (entry_given || port_given)) {
        startup_failure("bt_parse error:  --%s needs --open\n", entry_given ? "entry" : "port");
    }
    if (port_given && list_given) {
        startup_failure(
            "bt_parse error:  --port is for a peer without a peer list; -p gives this peer's "
            "port\n");
    }
}

void bt_parse_command_line(bt_config_t *config) {
    assert(config != nullptr);
    config->test = 0;
    config->max_tx_chunks = -1;
    // The caller's option index is put back so that a later getopt scan starts where it expects.
    int saved_optind = optind;
    int opt;
    bool list_given = false;
    bool entry_given = false;
    bool port_given = false;
    while ((opt = getopt_long(config->argc, config->argv, _bt_optstring, _bt_longopts, nullptr)) !=
           -1) {
        apply_option(config, opt, optarg);
        list_given |= opt == 'p';
        entry_given |= opt == OPT_ENTRY;
        port_given |= opt == OPT_PORT;
    }
    check_membership_options(config, list_given, entry_given, port_given);
    if (config->open_membership && !list_given) {
        check_files(config);
    } else {
        bt_parse_peer_list(config);
        check_identity_and_files(config);
    }
    config->download_in_progress = 0;
    config->to_fetch_list = nullptr;
    config->tx_chunks = 0;
    struct timeval now;
    gettimeofday(&now, nullptr);
    config->start_time_sec = timeval2double(&now);
    config->start_time_mono = now_seconds();
    optind = saved_optind;
}

// ---- the peer list ------------------------------------------------------------------------

// The three fields of a peer-list line, read the way "%d %s %d" reads them.
struct peer_fields {
    long id;
    char host[BT_MAX_PEER_LINE];
    long port;
};

// Fills out from line and returns how many fields converted (0 to 3), as sscanf would. Numbers
// go through strtol, which, unlike sscanf's %d, has a defined result when out of range.
static int scan_peer_fields(const char *line, peer_fields *out) {
    char *end;
    out->id = strtol(line, &end, 10);
    if (end == line) return 0;
    const char *host = end + strspn(end, WHITE_SPACE);
    size_t host_len = strcspn(host, WHITE_SPACE);
    if (host_len == 0 || host_len >= sizeof out->host) return 1;
    memcpy(out->host, host, host_len);
    out->host[host_len] = '\0';
    const char *port = host + host_len;
    out->port = strtol(port, &end, 10);
    if (end == port) return 2;
    return 3;
}

static bool is_blank(const char *line) {
    return line[strspn(line, WHITE_SPACE)] == '\0';
}

// The host's first IPv4 address; a dotted address resolves to itself.
static bool resolve_host(const char *host, in_addr *addr) {
    const hostent *he = gethostbyname(host);
    if (he == nullptr || he->h_addrtype != AF_INET || he->h_length != sizeof *addr ||
        he->h_addr_list[0] == nullptr) {
        return false;
    }
    memcpy(addr, he->h_addr_list[0], sizeof *addr);
    return true;
}

// A failure to read the peer list: the reason (one line) formatted into error, then -1.
[[gnu::format(printf, 3, 4)]] static int list_failure(char *error, size_t error_size,
                                                      const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(error, error_size, fmt, ap);
    va_end(ap);
    return -1;
}

// Turns one piece of the file into a record at the head of peers. Every field comes from this
// piece alone: fields is fresh for each piece and a short piece is refused, never completed.
static int add_peer_from_line(bt_config_t *config, const char *line, int line_no, char *error,
                              size_t error_size) {
    const char *file = config->peer_list_file;
    peer_fields fields{};
    int converted = scan_peer_fields(line, &fields);
    if (converted == 0) {
        return list_failure(error, error_size,
                            "bt_parse error:  Peer list %s, line %d: node id does not convert!\n",
                            file, line_no);
    }
    if (converted < 3) {
        return list_failure(
            error, error_size,
            "bt_parse error:  Peer list %s, line %d: expected node id, host and port!\n", file,
            line_no);
    }
    // Resolved before the record is allocated, so that a failure leaves no unowned block behind.
    in_addr host_addr;
    if (!resolve_host(fields.host, &host_addr)) {
        return list_failure(error, error_size,
                            "bt_parse error:  Peer list %s, line %d: host %s does not resolve!\n",
                            file, line_no, fields.host);
    }
    // calloc leaves every connection field 0 or null until a connection starts.
    auto *peer = static_cast<bt_peer_t *>(calloc(1, sizeof(bt_peer_t)));
    if (peer == nullptr) {
        return list_failure(
            error, error_size,
            "bt_parse error:  Peer list %s, line %d: no memory for the peer record!\n", file,
            line_no);
    }
    // Ids and ports keep their low 16 bits, so 40000 becomes -25536 and port 70000 becomes 4464.
    peer->id = static_cast<short>(fields.id);
    peer->addr.sin_family = AF_INET;
    peer->addr.sin_addr = host_addr;
    peer->addr.sin_port = htons(static_cast<uint16_t>(fields.port));
    peer->next = config->peers;
    config->peers = peer;
    return 0;
}

int bt_read_peer_list(bt_config_t *config, char *error, size_t error_size) {
    assert(config != nullptr && error != nullptr && error_size > 0);
    const char *file = config->peer_list_file;
    FileHandle f(fopen(file, "r"), &fclose);
    if (!f) {
        return list_failure(error, error_size, "bt_parse error:  Cannot open peer list %s: %s\n",
                            file, strerror(errno));
    }
    // A line longer than the buffer arrives in pieces, each taken as a line of its own; the line
    // number only advances once a piece has ended with the newline.
    char piece[BT_MAX_PEER_LINE];
    int line_no = 1;
    while (fgets(piece, sizeof piece, f.get()) != nullptr) {
        size_t len = strlen(piece);
        bool ends_line = len > 0 && piece[len - 1] == '\n';
        // Only the first character marks a comment.
        if (piece[0] != '#' && !is_blank(piece) &&
            add_peer_from_line(config, piece, line_no, error, error_size) != 0) {
            return -1;
        }
        if (ends_line) line_no++;
    }
    if (ferror(f.get())) {
        return list_failure(error, error_size, "bt_parse error:  Cannot read peer list %s: %s\n",
                            file, strerror(errno));
    }
    return 0;
}

void bt_parse_peer_list(bt_config_t *config) {
    char error[BT_PEER_LIST_ERROR_LEN];
    if (bt_read_peer_list(config, error, sizeof error) != 0) startup_failure("%s", error);
}

bt_peer_t *bt_peer_info(const bt_config_t *config, int peer_id) {
    assert(config != nullptr);
    for (bt_peer_t *peer = config->peers; peer != nullptr; peer = peer->next) {
        if (peer->id == peer_id) return peer;
    }
    return nullptr;
}

// ---- texts --------------------------------------------------------------------------------

void bt_dump_config(bt_config_t *config) {
    assert(config != nullptr);
    printf("VX-902 PROJECT 2 PEER\n\n");
    printf("chunk-file:     %s\n", config->chunk_file);
    printf("has-chunk-file: %s\n", config->has_chunk_file);
    printf("max-conn:       %d\n", config->max_conn);
    printf("peer-identity:  %d\n", config->identity);
    printf("peer-list-file: %s\n", config->peer_list_file);
    for (const bt_peer_t *peer = config->peers; peer != nullptr; peer = peer->next) {
        printf("  peer %d: %s:%d\n", peer->id, inet_ntoa(peer->addr.sin_addr),
               ntohs(peer->addr.sin_port));
    }
}

void bt_usage() {
    fputs(
        "usage:  peer [-h] [-d <debug>] -p <peerfile> -c <chunkfile> -m <maxconn>\n"
        "            -f <master-chunk-file> -i <identity>\n",
        stderr);
}

void bt_help() {
    bt_usage();
    fputs(
        "         -h                help (this message)\n"
        "         -p <peerfile>     The list of all peers\n"
        "         -c <chunkfile>    The list of chunks\n"
        "         -m <maxconn>      Max # of downloads\n"
        "\t    -f <master-chunk> The master chunk file\n"
        "         -i <identity>     Which peer # am I?\n",
        stderr);
}

void bt_help_long_options() {
    fputs(
        "         -d <debug>        debug bits, added up or repeated; -d list lists them\n"
        "         -x <n>            with n > 0: exit (status 10) after n ended uploads,\n"
        "                           or once this peer's own download is complete\n"
        "         -t <n>            stored; it has no effect\n"
        "         --transport classic|adaptive\n"
        "                           classic (default): the fixed 1 s timeout and go-back-N;\n"
        "                           adaptive: measured RTT and RTO, fast retransmit and\n"
        "                           recovery, the window carried from chunk to chunk\n"
        "         --window-log <file>\n"
        "                           one line per change of a sending window:\n"
        "                           <peer id> <ms since start> <window in packets>\n"
        "         --bind <address>  the IPv4 address to listen on (default 127.0.0.1);\n"
        "                           the peer list names this peer at that address\n"
        "         --progress        a progress line and a summary of each download on\n"
        "                           standard error (default: only when it is a terminal)\n"
        "         --no-progress     neither, even on a terminal\n"
        "         --swarm           serve every chunk this peer has downloaded, fetch the\n"
        "                           rarest chunks first, resume an existing output file\n"
        "         --serve <hashfile>=<file>\n"
        "                           serve the chunks of <file> that match <hashfile>\n"
        "                           (repeatable; no master data file needed)\n"
        "         --upload-slots <n>\n"
        "                           with --swarm: uploads run at once (default 4)\n"
        "         --receive-buffer <bytes>\n"
        "                           the socket's receive buffer asked for (default 16 MiB;\n"
        "                           0: the kernel's default)\n"
        "         --key <file>      seal every datagram with the swarm key in <file> (64 hex\n"
        "                           digits, mode 0600): only peers holding it are heard\n"
        "         --open            take datagrams from peers the list does not name: they\n"
        "                           become members, and members tell each other of the rest;\n"
        "                           without -p no peer list is read and -i is not needed\n"
        "         --entry <address>:<port>\n"
        "                           with --open: a member to contact from the start\n"
        "                           (repeatable)\n"
        "         --port <n>        with --open and no -p: the UDP port (0: any free port)\n"
        "         --help            this message\n"
        "       standard input takes one command per line:\n"
        "         GET <hash-file> <output-file>\n"
        "                           fetch the chunks hash-file lists (\"<n> <sha1>\" lines)\n"
        "                           into output-file; prints \"GOT <output-file>\" when done\n",
        stderr);
}
