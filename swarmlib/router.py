"""netsim as part of a swarm: starting it on a port of its choosing, reading its counters, and
the node rules that give peers access links (an uplink and a downlink each, shared by all their
connections)."""

import dataclasses
import re
import time
from pathlib import Path

from swarmlib import DOWNLOADER_ID, SwarmError, parse_list
from swarmlib.processes import Proc, exit_note, reap_if_exited, start, tail_of

# The rates netsim takes, in KB/s.
MIN_RATE = 0.1
MAX_RATE = 10_000_000
LISTENING = re.compile(r"^netsim listening on 127\.0\.0\.1:(\d+)$", re.MULTILINE)


@dataclasses.dataclass
class Router:
    """A running netsim and where it listens."""
    proc: Proc
    port: int
    seed: str                 # as netsim reported it on standard error
    out: Path                 # its standard output: the listening line, later its counters


def start_netsim(procs, bin_dir, work, options, deadline):
    """Starts netsim on a port of its choosing with `options` (a list of its arguments) and
    waits, until `deadline`, for the line that says where it listens."""
    out = work / "netsim.out"
    log = work / "netsim.err"
    program = Path(bin_dir).resolve() / "netsim"
    proc = start(procs, "netsim", [program, "--port", "0", *options], cwd=work, stdout=out,
                 stderr=log)
    while True:
        match = LISTENING.search(out.read_text(errors="replace"))
        if match:
            seed = log.read_text(errors="replace").strip().rpartition(" ")[2]
            return Router(proc=proc, port=int(match.group(1)), seed=seed, out=out)
        if reap_if_exited(proc):
            raise SwarmError(f"{exit_note(proc)}: {tail_of(log)}")
        if time.monotonic() >= deadline:
            raise SwarmError("netsim did not report its port in time")
        time.sleep(0.02)


def netsim_counters(router):
    """The counter lines netsim printed when it was stopped (empty if it printed none)."""
    lines = router.out.read_text(errors="replace").splitlines()
    start_at = next((i for i, line in enumerate(lines) if line.startswith("netsim counters at")),
                    len(lines))
    return [line for line in lines[start_at:] if line != "netsim counters end"]



# ==== access links ===============================================================================

def node_rules(links, queue=None):
    """netsim node rules that give peers access links, one line per peer that has a limit.

    `links` maps a peer's UDP port on 127.0.0.1 to (up, down) in KB/s (1000 bytes per second):
    everything the peer sends shares `up`, everything sent to it shares `down`; None leaves that
    direction unlimited. `queue` (bytes, each direction) replaces netsim's default of 100 ms of
    the rate. Returns rule-file lines such as "node 127.0.0.1:4001 up=1000 down=500"; a rate
    outside netsim's range raises ValueError."""
    lines = []
    for port, (up, down) in sorted(links.items()):
        settings = []
        for name, rate in (("up", up), ("down", down)):
            if rate is None:
                continue
            if not MIN_RATE <= rate <= MAX_RATE:
                raise ValueError(f"{name} rate of port {port} is not from {MIN_RATE:g} to "
                                 f"{MAX_RATE:g} KB/s: {rate}")
            settings.append(f"{name}={rate:.10g}")
        if settings:
            if queue is not None:
                settings.append(f"queue={int(queue)}")
            lines.append(f"node 127.0.0.1:{port} " + " ".join(settings))
    return lines


def node_options(links, queue=None):
    """The rules of `node_rules` as netsim command-line options: "--node", "127.0.0.1:PORT ..."
    for each, ready to add to the options of `start_netsim` or `run_swarm`."""
    options = []
    for line in node_rules(links, queue):
        options += ["--node", line.partition(" ")[2]]
    return options


def add_access_options(parser):
    """Adds --up and --down: each peer's access link, one rate for all or one per peer."""
    for option, what in (("--up", "sends"), ("--down", "receives")):
        parser.add_argument(option, metavar="KB/S",
                            help=f"netsim: rate in KB/s of everything a peer {what}, shared by "
                                 "all its connections; one value for every peer, or a comma list "
                                 "with one per peer in id order (the downloader, id 1, first)")


def access_rates(parser, option, text, peers):
    """The rates of --up or --down for `peers` peers in id order: a list of `peers` floats, or
    of None when the option was not given; a parser error on a bad value or count."""
    if text is None:
        return [None] * peers
    rates = parse_list(parser, option, text, float, lambda r: MIN_RATE <= r <= MAX_RATE)
    if len(rates) == 1:
        return rates * peers
    if len(rates) != peers:
        parser.error(f"{option} takes one rate or one per peer ({peers}), got {len(rates)}")
    return rates


def swarm_access_links(ports, up, down):
    """Peer port -> (up, down) for `node_rules`, from `ports` (peer id -> port, as
    swarmlib.files.peer_ports gives it) and per-peer rate lists in id order from `access_rates`."""
    ids = sorted(ports)
    if ids[0] != DOWNLOADER_ID or len(up) != len(ids) or len(down) != len(ids):
        raise SwarmError(f"access rates for {len(up)}/{len(down)} peers, the swarm has {len(ids)}")
    return {ports[i]: (u, d) for i, u, d in zip(ids, up, down)}
