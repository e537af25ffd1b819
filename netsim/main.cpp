// netsim: the network-simulator router that VEXLO_ROUTER names. Every datagram it receives carries
// the 16-byte encapsulation header; the router forwards the whole datagram, header included, to the
// destination that header names, after imposing loss, delay, jitter, a bandwidth limit with a
// bounded queue, duplication, corruption and blackouts, chosen per link and per packet type, and
// after the sender's uplink and the receiver's downlink where node rules give nodes access links.
// One thread: a ppoll loop over one UDP socket and a min-heap of timed releases. This file holds
// the command line, the signals and the loop; rules.cpp the rules, router.cpp the rest.

#include "netsim/router.h"
#include "netsim/rules.h"

#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

// ==== constants ==================================================================================

constexpr const char *USAGE =
    "usage: netsim --port N [--seed N] [--config FILE] [--trace FILE]\n"
    "              [--loss P] [--max-consecutive-drops N] [--delay MS] [--jitter MS]\n"
    "              [--bandwidth KBYTES_PER_S] [--queue BYTES] [--dup P] [--corrupt P]\n"
    "              [--corrupt-data-only] [--blackout S:D] [--types LIST]\n"
    "              [--link SRC_IP:PORT-DST_IP:PORT]\n"
    "              [--node 'IP:PORT up=KB/S down=KB/S queue=BYTES']...\n"
    "Forwards vexlo-encapsulated datagrams received on 127.0.0.1:N to the destination named in\n"
    "their header, imposing the impairments below. --port 0 picks a free port.\n"
    "  --loss P                  drop probability, 0..1\n"
    "  --max-consecutive-drops N at most N loss drops in a row on a link (0: no cap)\n"
    "  --delay MS                one-way delay added to every datagram\n"
    "  --jitter MS               extra delay drawn uniformly from 0..MS (reorders)\n"
    "  --bandwidth KB/S          link rate in 1000-byte units per second (0.1 .. 10000000)\n"
    "  --queue BYTES             backlog allowed behind a limited link (default 65536)\n"
    "  --dup P                   duplication probability\n"
    "  --corrupt P               probability of changing one byte past the 16-byte header\n"
    "  --corrupt-data-only       corrupt only payload bytes of DATA packets\n"
    "  --blackout S:D            drop everything from second S for D seconds after start\n"
    "  --types LIST              the options above apply only to these types: comma list of\n"
    "                            whohas,ihave,get,data,ack,other,all (default all)\n"
    "  --link SRC-DST            the options above apply only to this link (either side may be *)\n"
    "  --node 'IP:PORT SETTINGS' the node's access link, shared by all its links: up=KB/S (all\n"
    "                            it sends), down=KB/S (all sent to it), queue=BYTES (each way;\n"
    "                            default 100 ms of the rate, at least 4548). IP:PORT may be *\n"
    "                            (every node). Repeatable; a rule file takes 'node IP:PORT ...'\n"
    "  --config FILE             rules, one per line, e.g. 'all loss=0.02 delay=5' or\n"
    "                            'link 127.0.0.1:4001 127.0.0.1:4002 loss=0.3 types=data'\n"
    "  --seed N                  seed of the random choices (default: from the clock, printed)\n"
    "  --trace FILE              CSV line per datagram event: time,src,dst,type,seq,ack,bytes,\n"
    "                            action,delay_ms,corrupted,node\n"
    "  -h, --help                print this help and exit\n"
    "A link rule beats a one-sided rule, which beats an 'all' rule, setting by setting; among\n"
    "equals the later rule wins and the command line comes after the file. A datagram passes the\n"
    "sender's uplink, then its link's impairments, then the receiver's downlink.\n"
    "SIGUSR1 prints the counters; SIGINT and SIGTERM print them and exit 0.\n";

// ==== records ====================================================================================

namespace {

// What the command line asked for.
struct options_s {
    bool port_given = false;
    uint16_t port = 0;
    bool seed_given = false;
    uint64_t seed = 0;
    std::string config_path;
    std::string trace_path;
    bool scoped = false;  // --link or --types given
    rule_s cli_rule;
    std::vector<rule_s> node_rules;  // --node options in order
};

}  // namespace

static volatile sig_atomic_t g_stop = 0;
static volatile sig_atomic_t g_dump = 0;

// ==== signals and the loop =======================================================================

static void on_signal(int sig) {
    if (sig == SIGUSR1)
        g_dump = 1;
    else
        g_stop = 1;
}

// The three signals stay blocked except inside ppoll, so none can slip in between the flag test
// and the wait; *wait_mask receives the mask to wait with.
static void install_signals(sigset_t *wait_mask) {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigset_t block;
    sigemptyset(&block);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1}) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&block, sig);
    }
    sigprocmask(SIG_BLOCK, &block, wait_mask);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1}) sigdelset(wait_mask, sig);
}

// Runs until SIGINT or SIGTERM; 0 then, 1 when waiting itself fails.
static int run_router(router_s *r, const sigset_t *wait_mask) {
    while (!g_stop) {
        if (g_dump) {
            g_dump = 0;
            print_counters(r, mono_ns());
        }
        int64_t now = mono_ns();
        release_due(r, now);
        flush_sends(r, now);
        timespec ts{};
        timespec *timeout = nullptr;
        if (!r->heap.empty()) {
            int64_t wait = std::max<int64_t>(0, r->heap.front().release_ns - now);
            ts.tv_sec = static_cast<time_t>(wait / NS_PER_S);
            ts.tv_nsec = static_cast<long>(wait % NS_PER_S);
            timeout = &ts;
        }
        pollfd p{r->fd, POLLIN, 0};
        int ready = ppoll(&p, 1, timeout, wait_mask);
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "netsim: ppoll failed: %s\n", strerror(errno));
            return 1;
        }
        if (ready > 0) receive_batch(r);
    }
    return 0;
}

// ==== command line ===============================================================================

enum parse_result { PARSE_OK, PARSE_HELP, PARSE_ERROR };

enum option_code {
    OPT_PORT = 1000,
    OPT_SEED,
    OPT_CONFIG,
    OPT_TRACE,
    OPT_TYPES,
    OPT_LINK,
    OPT_NODE,
    OPT_HELP,
    OPT_SETTING,  // every impairment option; its name is the setting's name
};

constexpr option FIXED_OPTIONS[] = {
    {"port", required_argument, nullptr, OPT_PORT},
    {"seed", required_argument, nullptr, OPT_SEED},
    {"config", required_argument, nullptr, OPT_CONFIG},
    {"trace", required_argument, nullptr, OPT_TRACE},
    {"types", required_argument, nullptr, OPT_TYPES},
    {"link", required_argument, nullptr, OPT_LINK},
    {"node", required_argument, nullptr, OPT_NODE},
    {"help", no_argument, nullptr, OPT_HELP},
};

using option_table = std::array<option, std::size(FIXED_OPTIONS) + SETTING_COUNT + 1>;

// The fixed options, one per setting in SETTING_NAMES order, and the end marker. The settings
// share one code, so getopt_long reads an abbreviation two of them share (--d) as the first.
static constexpr option_table make_long_options() {
    option_table t{};
    size_t n = 0;
    for (const option &o : FIXED_OPTIONS) t[n++] = o;
    for (const setting_name_s &s : SETTING_NAMES)
        t[n++] =
            option{s.name, s.has_value ? required_argument : no_argument, nullptr, OPT_SETTING};
    t[n] = option{nullptr, 0, nullptr, 0};
    return t;
}

constexpr option_table LONG_OPTIONS = make_long_options();

// The name of the option getopt_long matched at index.
static const char *option_name(int index) {
    return LONG_OPTIONS[static_cast<size_t>(index)].name;
}

// Applies one recognised option; why is set on a bad value.
static bool apply_option(int code, int index, const char *arg, options_s *o, std::string *why) {
    uint64_t n = 0;
    switch (code) {
        case OPT_PORT:
            if (!parse_unsigned(arg, 65535, &n)) *why = not_a(arg, "a port from 0 to 65535");
            o->port = static_cast<uint16_t>(n), o->port_given = true;
            return why->empty();
        case OPT_SEED:
            if (!parse_unsigned(arg, UINT64_MAX, &o->seed)) *why = not_a(arg, "a seed");
            o->seed_given = true;
            return why->empty();
        case OPT_CONFIG:
            o->config_path = arg;
            return true;
        case OPT_TRACE:
            o->trace_path = arg;
            return true;
        case OPT_TYPES:
            o->scoped = true;
            return parse_types(arg, &o->cli_rule.types, why);
        case OPT_LINK:
            o->scoped = true;
            return parse_link(arg, &o->cli_rule, why);
        case OPT_NODE:
            o->node_rules.emplace_back();
            return parse_node_option(arg, &o->node_rules.back(), why);
        default:
            return apply_setting(&o->cli_rule, option_name(index), arg, why);
    }
}

static parse_result parse_command_line(int argc, char **argv, options_s *o) {
    opterr = 0;  // the messages below name the option as it was typed
    int code = 0, index = -1;
    while ((code = getopt_long(argc, argv, ":h", LONG_OPTIONS.data(), &index)) != -1) {
        const char *typed = argv[optind - 1];
        std::string why;
        if (code == OPT_HELP || code == 'h') {
            fputs(USAGE, stdout);
            return PARSE_HELP;
        } else if (code == '?' && optopt > 0 && optopt < 256) {
            fprintf(stderr, "netsim: unknown option '-%c'\n", optopt);
        } else if (code == '?') {
            fprintf(stderr, "netsim: unknown option '%s'\n", typed);
        } else if (code == ':') {
            fprintf(stderr, "netsim: option '%s' needs a value\n", typed);
        } else if (!apply_option(code, index, optarg, o, &why)) {
            fprintf(stderr, "netsim: --%s: %s\n", option_name(index), why.c_str());
        } else {
            continue;
        }
        return PARSE_ERROR;
    }
    if (optind < argc) {
        fprintf(stderr, "netsim: unexpected argument '%s'\n", argv[optind]);
        return PARSE_ERROR;
    }
    if (!o->port_given) fprintf(stderr, "netsim: --port is required (0 picks a free port)\n");
    return o->port_given ? PARSE_OK : PARSE_ERROR;
}

// ==== main =======================================================================================

// Rules from the file, then the command line's; false with a message on a bad file.
static bool collect_rules(const options_s &o, std::vector<rule_s> *rules) {
    std::string why;
    if (!o.config_path.empty() && !load_rule_file(o.config_path, rules, &why)) {
        fprintf(stderr, "netsim: %s\n", why.c_str());
        return false;
    }
    if (o.cli_rule.set != 0)
        rules->push_back(o.cli_rule);
    else if (o.scoped)
        fprintf(stderr, "netsim: --link and --types have no effect without an impairment\n");
    rules->insert(rules->end(), o.node_rules.begin(), o.node_rules.end());
    return true;
}

int main(int argc, char **argv) {
    options_s opt;
    parse_result pr = parse_command_line(argc, argv, &opt);
    if (pr != PARSE_OK) {
        if (pr == PARSE_ERROR) fprintf(stderr, "Try 'netsim --help'.\n");
        return pr == PARSE_HELP ? 0 : 2;
    }
    auto r = std::make_unique<router_s>();
    if (!collect_rules(opt, &r->rules)) return 2;
    std::unique_ptr<FILE, decltype(&fclose)> trace(nullptr, &fclose);
    if (!opt.trace_path.empty()) {
        trace.reset(fopen(opt.trace_path.c_str(), "w"));
        if (!trace) {
            fprintf(stderr, "netsim: cannot write %s: %s\n", opt.trace_path.c_str(),
                    strerror(errno));
            return 1;
        }
        fputs(TRACE_HEADER, trace.get());
        r->trace = trace.get();
    }
    if (router_open(r.get(), opt.port) != 0) return 1;
    sigset_t wait_mask;
    install_signals(&wait_mask);
    uint64_t seed =
        opt.seed_given ? opt.seed
                       : static_cast<uint64_t>(mono_ns()) ^ (static_cast<uint64_t>(getpid()) << 32);
    rng_seed(&r->rng, seed);
    fprintf(stderr, "netsim: seed %" PRIu64 "\n", seed);
    r->start_ns = mono_ns();
    printf("netsim listening on 127.0.0.1:%u\n", static_cast<unsigned>(r->port));
    fflush(stdout);
    int status = run_router(r.get(), &wait_mask);
    print_counters(r.get(), mono_ns());
    close(r->fd);
    return status;
}
