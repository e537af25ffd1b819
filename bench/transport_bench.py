"""Transport benchmark: the sending side of both profiles on the paths where it has been seen to
stall, flood or idle, each run through netsim (mathis also once directly) and checked byte for
byte. Each sub-benchmark runs --rounds times in every profile of --transport; each run prints its
figures, and the summary the median of every figure with the target beside it.

    python3 -m bench.transport_bench [--only NAME[,NAME]] [--transport classic,adaptive]
                                     [--rounds 3] [--timeout S] [--mathis-size 64] [--seed 1]
                                     [--bin build/bin] [--dir /tmp/p2p-bench]

Sub-benchmarks (--only):
  repeated-get     1 uploader, 8 chunks, 5 ms each way, GETs jittered by up to 300 ms and sent
                   twice half the time: seconds from GET to GOT (target < 5 s)
  dupack-receiver  1 uploader, 4 chunks, 5 ms, the downloader's node 500 KB/s down, every ACK
                   duplicated by netsim ("dupack x2"); beside it the same path without duplicates
                   ("dupack none"). From the uploader's log, between two ACKs that advance (after
                   a chunk's first ACK): how far the sender ran ahead (highest number sent minus
                   the ACK; it bounds the window from above: target window <= 20 while nothing new
                   is acknowledged) and the packets it sent; the packets sent before a chunk's
                   first ACK, the peak of the window log, and the share of DATA netsim dropped
  dupack-storm     a hostile receiver talking straight to 1 uploader (no netsim): it sends a GET,
                   acknowledges packet 1, and then only repeats that ACK, for each packet and 4
                   more every 5 ms, for 3 s: how far above ACK 1 the sender ever went, which is
                   the window while nothing new is acknowledged (target <= 20)
  frozen-holder    2 holders of all of 8 MiB (2000 KB/s up each), 5 ms; 1 s after the GET one
                   holder is stopped (SIGSTOP) for 10 s: seconds to GOT (target < 9.5 s)
  crawling-holder  the same holders and path; from 1 s after the GET one holder is stopped for
                   0.9 s of every second, for 10 s, so that it crawls: seconds to GOT
  long-path        2 uploaders of 8 MiB, 200 ms each way: MB/s (target >= 1.4)
  mathis           4 uploaders (every chunk held by two) of --mathis-size MiB, 5 ms each way at
                   0%, 1% and 5% loss, and directly without netsim: MB/s, and with loss the ratio
                   to the Mathis model (targets >= 0.9x at 1%, >= 0.7x at 5%); the two losses
                   again with --swarm on every peer (its choice of chunk, not the designed one)
  fairness         2 uploaders, each with its own half of 8 MiB, into one downloader whose node
                   has 1000 KB/s down, 5 ms: Jain's index of the two flows' rates while both send
                   and the share of the downlink used (targets >= 0.9 and >= 90%)
  swarm24          24 peers each holding a random 30% of 40 chunks (a fixed layout in which every
                   chunk has a holder), 4 of them downloading the whole file at once, 1 ms each
                   way: each download's seconds and the longest (target < 20 s in every run)
"""

import argparse
import dataclasses
import random
import re
import select
import shutil
import signal
import socket
import statistics
import sys
import tempfile
import time
from pathlib import Path

from bench.netsim_loss_bench import model_mb_per_s, read_window_log
from swarmlib import (CHUNK_SIZE, DEMO_COPIES, DOWNLOADER_ID, MB, MIB,
                      add_folder_options, missing_programs, parse_list)
from swarmlib.packets import ACK, DATA, GET, HEADER, packet
from swarmlib.files import (chunk_hashes, chunk_holders, ensure_data_file, peer_ports,
                            prepare_holdings)
from swarmlib.processes import reap_if_exited, start_peer, stop_all, wait_until_bound
from swarmlib.progress import GOOD_CHUNK
from swarmlib.router import netsim_counters, node_rules, start_netsim
from swarmlib.run import DOWNLOADER_DEBUG, READY_WAIT_S, UPLOADER_DEBUG, summary_main

HASHLIST_TIMEOUT_S = 120
DEBUG_SEQ = 4  # "Sending seq = N", "Received ack = N", "Done sending chunk"
SUBS = ("repeated-get", "dupack-receiver", "dupack-storm", "frozen-holder", "crawling-holder",
        "long-path", "mathis", "fairness", "swarm24")
# Longest wait for one run of each, in seconds, unless --timeout says otherwise.
TIMEOUTS = {"repeated-get": 180, "dupack-receiver": 60, "dupack-storm": 30, "frozen-holder": 60,
            "crawling-holder": 60, "long-path": 120, "mathis": 300, "fairness": 60, "swarm24": 60}
# Targets no figure here measures exactly, shown beside the case's medians.
NOTES = {"dupack x2": "the window while nothing new is acknowledged is measured exactly by "
                      "dupack-storm"}
# (case, figure) -> the target as text and a test of a median against it.
TARGETS = {
    ("repeated-get", "s"): ("< 5 s", lambda v: v < 5),
    ("dupack storm", "ahead"): ("<= 20", lambda v: v <= 20),
    ("frozen-holder", "s"): ("< 9.5 s", lambda v: v < 9.5),
    ("long-path", "MB/s"): (">= 1.4 MB/s", lambda v: v >= 1.4),
    ("mathis 1%", "x model"): (">= 0.9", lambda v: v >= 0.9),
    ("mathis 5%", "x model"): (">= 0.7", lambda v: v >= 0.7),
    ("fairness", "jain"): (">= 0.9", lambda v: v >= 0.9),
    ("fairness", "used %"): (">= 90%", lambda v: v >= 90),
    ("swarm24", "max s"): ("< 20 s in every run", lambda v: v < 20),
}
EVENTS = re.compile(rb"^(?:Sending seq = (\d+)|Received ack = (\d+)|Done sending chunk)",
                    re.MULTILINE)


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python3 -m bench.transport_bench", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    add_folder_options(p, ["peer", "hashlist", "netsim"], data_dir=True)
    p.add_argument("--only", default=",".join(SUBS), help="comma list of sub-benchmarks")
    p.add_argument("--transport", default="classic,adaptive", help="comma list of profiles")
    p.add_argument("--rounds", type=int, default=3, help="runs of each case (default 3)")
    p.add_argument("--timeout", type=float, default=None,
                   help="longest wait for one run in seconds (default per sub-benchmark: "
                        + ", ".join(f"{k} {v}" for k, v in TIMEOUTS.items()) + ")")
    p.add_argument("--mathis-size", type=int, default=64, help="MiB of the mathis runs")
    p.add_argument("--seed", type=int, default=1, help="netsim seed of round 1; round k: seed+k-1")
    args = p.parse_args(argv)
    args.only = parse_list(p, "--only", args.only, str, lambda s: s in SUBS)
    args.transport = parse_list(p, "--transport", args.transport, str,
                                lambda t: t in ("classic", "adaptive"))
    if args.rounds < 1 or args.mathis_size < 1 or (args.timeout is not None and args.timeout <= 0):
        p.error("--rounds, --mathis-size and --timeout must be positive")
    missing = missing_programs(args.bin, ["peer", "hashlist", "netsim"])
    if missing:
        p.error("; ".join(missing))
    return args


# ==== one run ====================================================================================

@dataclasses.dataclass
class Outcome:
    """How the downloads of one run went. Every process has been stopped by then."""
    seconds: dict             # downloader id -> seconds from its GET to its GOT; None: not done
    verified: dict            # downloader id -> its copy equals the data file
    chunks: dict              # downloader id -> chunks it verified
    measured: object = None   # what the run's `measure` returned


def port_of(files, peer_id):
    return f"127.0.0.1:{peer_ports(files)[peer_id]}"


def output_of(files, peer_id):
    return files.work / f"out{peer_id}.bin"


def copy_equals(files, peer_id):
    out = output_of(files, peer_id)
    return out.is_file() and out.read_bytes() == files.data.read_bytes()


def run_downloads(args, data, hashes, holdings, downloaders, rules, transport, timeout,
                  events=(), uploader_debug=0, window_logs=False, trace=False, measure=None,
                  peer_options=()):
    """One run in a fresh folder under --dir (removed afterwards): netsim with the rule lines
    `rules` (None: the peers talk directly), every peer of `holdings` (id -> chunks held), then
    each of `downloaders` types a GET for the whole file at once. `events` are (seconds after the
    GETs, peer id, signal) sent on the way. The run ends when every download is done or after
    `timeout` seconds; then every process is stopped and `measure(files, router)` reads what it
    needs (the peers' logs, netsim's counters and trace) before the folder goes. `peer_options`
    are given to every peer."""
    work = Path(tempfile.mkdtemp(prefix="transport-", dir=args.dir))
    procs = []
    stopped = set()
    try:
        files = prepare_holdings(work, data, hashes, holdings)
        ids = sorted(holdings)
        rules_text = "".join(line + "\n" for line in rules(files)) if rules else None
        deadline = time.monotonic() + timeout
        router = None
        try:
            env = {}
            if rules_text is not None:
                (work / "rules.txt").write_text(rules_text)
                options = ["--config", "rules.txt", "--seed", str(args.round_seed)]
                if trace:
                    options += ["--trace", "trace.csv"]
                router = start_netsim(procs, args.bin, work, options,
                                      time.monotonic() + READY_WAIT_S)
                env["VEXLO_ROUTER"] = f"127.0.0.1:{router.port}"
            peers = {}
            for i in ids:
                extra = ["--transport", transport, *peer_options]
                if window_logs:
                    extra += ["--window-log", f"windows{i}.log"]
                debug = DOWNLOADER_DEBUG if i in downloaders else UPLOADER_DEBUG | uploader_debug
                peers[i] = start_peer(procs, args.bin, files, i, env, debug=str(debug),
                                      extra=extra)
            wait_until_bound(list(peers.values()), peer_ports(files).values(),
                             time.monotonic() + READY_WAIT_S)
            began = time.monotonic()
            for i in downloaders:
                peers[i].popen.stdin.write(f"GET get.chunks out{i}.bin\n".encode())
                peers[i].popen.stdin.flush()
            seconds = dict.fromkeys(downloaders)
            outputs = {i: OutputTail(work / f"peer{i}.out", f"GOT out{i}.bin \n".encode())
                       for i in downloaders}
            pending = sorted(events)
            while time.monotonic() < deadline and None in seconds.values():
                now = time.monotonic() - began
                while pending and pending[0][0] <= now:
                    _, peer_id, sig = pending.pop(0)
                    peers[peer_id].popen.send_signal(sig)
                    (stopped.add if sig == signal.SIGSTOP else stopped.discard)(peer_id)
                for i in downloaders:
                    if seconds[i] is None and outputs[i].seen():
                        seconds[i] = now
                if any(reap_if_exited(p) for p in procs):
                    break  # a peer or netsim died: the rest cannot be trusted to finish
                time.sleep(0.02)
        finally:
            for i in stopped:
                procs_by_id = {p.name: p for p in procs}
                procs_by_id[f"peer {i}"].popen.send_signal(signal.SIGCONT)
            stop_all(procs)
        verified = {i: seconds[i] is not None and copy_equals(files, i) for i in downloaders}
        chunks = {i: (work / f"peer{i}.err").read_bytes().count(GOOD_CHUNK) for i in downloaders}
        measured = measure(files, router) if measure else None
        return Outcome(seconds=seconds, verified=verified, chunks=chunks, measured=measured)
    finally:
        shutil.rmtree(work, ignore_errors=True)


class OutputTail:
    """Watches a growing output file for one line, reading only what was added since the last
    look (a peer without netsim writes a line per datagram)."""

    def __init__(self, path, line):
        self.path = path
        self.line = line
        self.offset = 0
        self.carry = b""

    def seen(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            new = f.read()
        self.offset += len(new)
        text = self.carry + new
        self.carry = text[-len(self.line):]
        return self.line in text


def download_note(outcome, i, timeout, total):
    """"3.21 s", or why download i has no time."""
    s = outcome.seconds[i]
    if s is None:
        return f"timed out after {timeout:g} s at {outcome.chunks[i]}/{total} chunks"
    return f"{s:.2f} s" if outcome.verified[i] else f"{s:.2f} s COPY DIFFERS"


def delay_rule(ms):
    return f"all delay={ms:g}"


# ==== figures read after a run ===================================================================

def flights(log_bytes):
    """From an uploader's debug-4 log, counted only after a chunk's first ACK and until the next
    ACK that advances: (the most DATA packets sent meanwhile, resends included; the most packets
    the sender ran ahead meanwhile, highest number sent minus the ACK), and the most packets sent
    before a chunk's first ACK. A chunk's end ("Done sending chunk") starts the counts afresh, as
    the next chunk's numbers start at 1. The window cannot exceed how far the sender runs ahead,
    so that figure bounds the window from above while nothing new is acknowledged."""
    acked = since = highest = 0
    first_acked = False
    no_new_ack = ahead = first_flight = 0
    for m in EVENTS.finditer(log_bytes):
        if m.group(1) is not None:
            highest = max(highest, int(m.group(1)))
            since += 1
            if first_acked:
                no_new_ack = max(no_new_ack, since)
                ahead = max(ahead, highest - acked)
            else:
                first_flight = max(first_flight, since)
        elif m.group(2) is not None:
            ack = int(m.group(2))
            if ack > acked:
                acked = ack
                since = 0
                first_acked = True
        else:
            acked = since = highest = 0
            first_acked = False
    return no_new_ack, ahead, first_flight


def link_counters(router, src, dst):
    """The counters of one link as a dict of ints, empty when netsim printed none for it."""
    head = f"link {src}->{dst} "
    for line in netsim_counters(router):
        if line.startswith(head):
            return {k: int(v) for k, v in (w.split("=", 1) for w in line[len(head):].split())}
    return {}


def node_down_bytes(router, port):
    head = f"node {port} down "
    for line in netsim_counters(router):
        if line.startswith(head):
            return int(line.split(" bytes=")[1].split()[0])
    return 0


def jain(rates):
    return sum(rates) ** 2 / (len(rates) * sum(r * r for r in rates)) if any(rates) else 0.0


def flow_rates(trace, into, senders):
    """From netsim's trace: each sender's DATA bytes forwarded into `into` per second over the
    span in which all of them were sending, and that span in seconds (None when they never sent
    together)."""
    times = {s: [] for s in senders}
    sizes = {s: [] for s in senders}
    with open(trace) as f:
        next(f, None)
        for line in f:
            t, src, dst, kind, _seq, _ack, size, action = line.split(",", 8)[:8]
            if dst == into and kind == "data" and action == "forward" and src in times:
                times[src].append(float(t))
                sizes[src].append(int(size))
    if not all(times.values()):
        return None, None
    begin = max(ts[0] for ts in times.values())
    end = min(ts[-1] for ts in times.values())
    if end <= begin:
        return None, None
    rates = [sum(b for t, b in zip(times[s], sizes[s]) if begin <= t <= end) / (end - begin)
             for s in senders]
    return rates, end - begin


# ==== the sub-benchmarks =========================================================================
# Each returns a list of (case, figures, ok, note): figures maps a name to a number (or None when
# the run gave none), ok says whether every copy was made and verified.

def one_download_case(args, data, hashes, holdings, rules, transport, timeout, **kw):
    out = run_downloads(args, data, hashes, holdings, [DOWNLOADER_ID], rules, transport, timeout,
                        **kw)
    ok = out.verified[DOWNLOADER_ID]
    return out, ok, download_note(out, DOWNLOADER_ID, timeout, len(hashes))


def repeated_get(args, transport, timeout):
    data, hashes = args.data(8 * CHUNK_SIZE)
    rules = lambda files: [delay_rule(5), "all jitter=300 dup=0.5 types=get"]
    out, ok, note = one_download_case(args, data, hashes,
                                      {1: [], 2: list(range(8))}, rules, transport, timeout)
    return [("repeated-get", {"s": out.seconds[1] if ok else None}, ok, note)]


def dupack_receiver(args, transport, timeout):
    data, hashes = args.data(4 * CHUNK_SIZE)
    rows = []
    for case, dup in (("dupack x2", True), ("dupack none", False)):
        def rules(files, dup=dup):
            lines = [delay_rule(5)] + node_rules({peer_ports(files)[1]: (None, 500)})
            return lines + (["all dup=1 types=ack"] if dup else [])

        def measure(files, router):
            no_new_ack, ahead, first = flights((files.work / "peer2.err").read_bytes())
            points = read_window_log(files.work / "windows2.log")
            link = link_counters(router, port_of(files, 2), port_of(files, 1))
            dropped = 100 * link.get("dropped", 0) / max(1, link.get("received", 0))
            return (no_new_ack, ahead, first, max((w for _, w in points), default=None),
                    dropped)

        out, ok, note = one_download_case(args, data, hashes, {1: [], 2: list(range(4))},
                                          rules, transport, timeout, uploader_debug=DEBUG_SEQ,
                                          window_logs=True, measure=measure)
        no_new_ack, ahead, first, peak, dropped = out.measured
        figures = {"ahead": ahead, "sent": no_new_ack, "first-flight": first,
                   "peak-window": peak, "data-dropped %": dropped}
        rows.append((case, figures, ok, note + f"   with no new ACK: ran ahead {ahead}, sent "
                     f"{no_new_ack}; before a chunk's first ACK sent {first}; peak of the window "
                     f"log {peak}; DATA dropped {dropped:.1f}%"))
    return rows


# The storm: the receiver acknowledges packet 1 and from then on only repeats that ACK, once per
# packet it gets and STORM_ACKS_PER_TICK times every STORM_TICK_S besides, for STORM_S.
STORM_S = 3.0
STORM_TICK_S = 0.005
STORM_ACKS_PER_TICK = 4
def storm_receiver(sock, uploader, chunk_hash):
    """Plays peer 1 against the uploader: GET, ACK 1 once packet 1 came, then only duplicates of
    it. Returns (DATA packets taken, distinct numbers above 1, highest number, duplicate ACKs sent)."""
    sock.sendto(packet(GET, bytes.fromhex(chunk_hash)), uploader)
    acked = 0
    got = dupacks = highest = 0
    seen = set()
    end = time.monotonic() + STORM_S
    next_tick = time.monotonic()
    while time.monotonic() < end:
        ready, _, _ = select.select([sock], [], [], STORM_TICK_S)
        if ready:
            datagram, _ = sock.recvfrom(2048)
            if len(datagram) < HEADER.size:
                continue
            _magic, _version, kind, _h, _p, seq, _a = HEADER.unpack_from(datagram)
            if kind != DATA:
                continue
            got += 1
            if seq == 1:
                acked = 1
            elif acked:
                seen.add(seq)
                highest = max(highest, seq)
            if acked:
                sock.sendto(packet(ACK, ack=1), uploader)
                dupacks += seq != 1
        if acked and time.monotonic() >= next_tick:
            for _ in range(STORM_ACKS_PER_TICK):
                sock.sendto(packet(ACK, ack=1), uploader)
            dupacks += STORM_ACKS_PER_TICK
            next_tick = time.monotonic() + STORM_TICK_S
    return got, len(seen), highest, dupacks


def dupack_storm(args, transport, timeout):
    """A hostile receiver, talking straight to the uploader: how far above the one ACK it ever
    gives does the sender go (the window while nothing new is acknowledged; target <= 20)."""
    data, hashes = args.data(CHUNK_SIZE)
    work = Path(tempfile.mkdtemp(prefix="storm-", dir=args.dir))
    procs = []
    try:
        files = prepare_holdings(work, data, hashes, {1: [], 2: [0]})
        ports = peer_ports(files)
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            sock.bind(("127.0.0.1", ports[1]))
            peer = start_peer(procs, args.bin, files, 2, {}, debug=str(UPLOADER_DEBUG),
                              extra=["--transport", transport])
            wait_until_bound([peer], [ports[2]], time.monotonic() + READY_WAIT_S)
            got, distinct, highest, dupacks = storm_receiver(sock, ("127.0.0.1", ports[2]),
                                                             hashes[0])
        finally:
            sock.close()
            stop_all(procs)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    ahead = highest - 1 if highest else 0
    ok = got > 0
    note = (f"{dupacks} duplicates of ACK 1 in {STORM_S:g} s: {got} DATA, {distinct} numbers "
            f"above 1, the highest {highest}: ran ahead {ahead}" if ok else "no DATA came")
    return [("dupack storm", {"ahead": ahead if ok else None, "DATA": got}, ok, note)]


def frozen_holder(args, transport, timeout):
    data, hashes = args.data(16 * CHUNK_SIZE)
    everything = list(range(16))
    rules = lambda files: [delay_rule(5)] + node_rules(
        {peer_ports(files)[i]: (2000, None) for i in (2, 3)})
    events = [(1.0, 2, signal.SIGSTOP), (11.0, 2, signal.SIGCONT)]
    out, ok, note = one_download_case(args, data, hashes,
                                      {1: [], 2: everything, 3: everything}, rules, transport,
                                      timeout, events=events)
    return [("frozen-holder", {"s": out.seconds[1] if ok else None}, ok, note)]


def crawling_holder(args, transport, timeout):
    data, hashes = args.data(16 * CHUNK_SIZE)
    everything = list(range(16))
    rules = lambda files: [delay_rule(5)] + node_rules(
        {peer_ports(files)[i]: (2000, None) for i in (2, 3)})
    # Stopped 0.9 s of every second for 10 s: it keeps sending, at a tenth of its pace.
    events = [e for k in range(10)
              for e in ((1.0 + k, 2, signal.SIGSTOP), (1.9 + k, 2, signal.SIGCONT))]
    out, ok, note = one_download_case(args, data, hashes,
                                      {1: [], 2: everything, 3: everything}, rules, transport,
                                      timeout, events=events)
    return [("crawling-holder", {"s": out.seconds[1] if ok else None}, ok, note)]


def long_path(args, transport, timeout):
    data, hashes = args.data(16 * CHUNK_SIZE)
    held = chunk_holders(16, 2, DEMO_COPIES)
    out, ok, note = one_download_case(args, data, hashes,
                                      {1: [], 2: held[0], 3: held[1]},
                                      lambda files: [delay_rule(200)], transport, timeout)
    rate = data.stat().st_size / MB / out.seconds[1] if ok else None
    return [("long-path", {"MB/s": rate}, ok, note + (f"  {rate:.2f} MB/s" if rate else ""))]


def mathis(args, transport, timeout):
    chunks = args.mathis_size * MIB // CHUNK_SIZE
    data, hashes = args.data(args.mathis_size * MIB)
    holdings = {1: []}
    holdings.update((2 + k, held) for k, held in enumerate(chunk_holders(chunks, 4, DEMO_COPIES)))
    rows = []
    for case, loss, options in (("mathis direct", None, ()), ("mathis 0%", 0.0, ()),
                                ("mathis 1%", 0.01, ()), ("mathis 5%", 0.05, ()),
                                ("mathis 1% swarm", 0.01, ("--swarm",)),
                                ("mathis 5% swarm", 0.05, ("--swarm",))):
        rules = None if loss is None else (lambda files, p=loss: [f"all delay=5 loss={p:g}"])
        out, ok, note = one_download_case(args, data, hashes, holdings, rules, transport,
                                          timeout, peer_options=options)
        rate = data.stat().st_size / MB / out.seconds[1] if ok else None
        model = model_mb_per_s(loss or 0.0, 5.0, 4)
        figures = {"MB/s": rate}
        if rate:
            note += f"  {rate:.2f} MB/s"
        if model:
            figures["x model"] = rate / model if rate else None
            note += f"  model {model:.2f} MB/s" + (f", {rate / model:.2f}x" if rate else "")
        rows.append((case, figures, ok, note))
    return rows


def fairness(args, transport, timeout):
    data, hashes = args.data(16 * CHUNK_SIZE)
    held = chunk_holders(16, 2, 1)
    rate_kb = 1000

    def measure(files, router):
        into = port_of(files, 1)
        rates, span = flow_rates(files.work / "trace.csv", into,
                                 [port_of(files, 2), port_of(files, 3)])
        return rates, span, node_down_bytes(router, into)

    out, ok, note = one_download_case(
        args, data, hashes, {1: [], 2: held[0], 3: held[1]},
        lambda files: [delay_rule(5)] + node_rules({peer_ports(files)[1]: (None, rate_kb)}),
        transport, timeout, trace=True, measure=measure)
    rates, span, down_bytes = out.measured
    figures = {"jain": jain(rates) if rates else None, "used %": None}
    if ok:
        figures["used %"] = 100 * down_bytes / (rate_kb * 1000 * out.seconds[1])
        note += f"   downlink used {figures['used %']:.0f}% over the download"
    if rates:
        note += (f"   flows {rates[0] / MB:.2f} and {rates[1] / MB:.2f} MB/s over the "
                 f"{span:.1f} s both sent, Jain {figures['jain']:.3f}")
    return [("fairness", figures, ok, note)]


def swarm24_layout(seed, peers=24, chunks=40, share=0.3):
    """Peer id -> a random `share` of the chunks, drawn from `seed` and redrawn (seed+1, ...)
    until every chunk has a holder, so the layout is the same on every run."""
    while True:
        rng = random.Random(seed)
        layout = {i: sorted(rng.sample(range(chunks), round(share * chunks)))
                  for i in range(1, peers + 1)}
        if len(set().union(*layout.values())) == chunks:
            return layout
        seed += 1


def swarm24(args, transport, timeout):
    data, hashes = args.data(40 * CHUNK_SIZE)
    downloaders = [1, 2, 3, 4]
    out = run_downloads(args, data, hashes, swarm24_layout(args.seed), downloaders,
                        lambda files: [delay_rule(1)], transport, timeout)
    ok = all(out.verified.values())
    done = [s for s in out.seconds.values() if s is not None]
    notes = [download_note(out, i, timeout, 40) for i in downloaders]
    figures = {"max s": max(done) if len(done) == len(downloaders) else None,
               "timeouts": len(downloaders) - len(done)}
    return [("swarm24", figures, ok, "downloads " + "; ".join(notes))]


RUNNERS = {"repeated-get": repeated_get, "dupack-receiver": dupack_receiver,
           "dupack-storm": dupack_storm, "frozen-holder": frozen_holder,
           "crawling-holder": crawling_holder, "long-path": long_path, "mathis": mathis,
           "fairness": fairness, "swarm24": swarm24}


# ==== rounds and summary =========================================================================

def data_source(args):
    """args.data(size): (data file of that size under --dir, its chunk hashes), made once."""
    made = {}

    def data(size):
        if size not in made:
            path = ensure_data_file(args.dir, size)
            made[size] = (path, chunk_hashes(args.bin, path, HASHLIST_TIMEOUT_S))
        return made[size]
    return data


def summary(results, failures):
    """One line per case and profile: the median of every figure over the runs that gave it."""
    lines = []
    for (case, transport), runs in results.items():
        names = list(dict.fromkeys(n for figures in runs for n in figures))
        parts = []
        for name in names:
            values = [f[name] for f in runs if f.get(name) is not None]
            if not values:
                parts.append(f"{name} -")
                continue
            median = statistics.median(values)
            text = f"{name} {median:.3g}"
            target = TARGETS.get((case, name))
            if target:
                text += f" (target {target[0]}: {'met' if target[1](median) else 'MISSED'})"
            parts.append(text)
        lines.append(f"{case:>15} {transport:>8}: median of {len(runs)} runs, "
                     f"{failures.get((case, transport), 0)} not done:  " + ";  ".join(parts)
                     + (f"  ({NOTES[case]})" if case in NOTES else ""))
    return lines


def run_all(args):
    args.dir.mkdir(parents=True, exist_ok=True)
    args.data = data_source(args)
    print(f"transport benchmark: {','.join(args.only)}; profiles {','.join(args.transport)}; "
          f"{args.rounds} rounds; netsim seeds from {args.seed}", flush=True)
    results = {}
    failures = {}
    for sub in args.only:
        timeout = args.timeout or TIMEOUTS[sub]
        for round_no in range(1, args.rounds + 1):
            args.round_seed = args.seed + round_no - 1
            for transport in args.transport:
                for case, figures, ok, note in RUNNERS[sub](args, transport, timeout):
                    results.setdefault((case, transport), []).append(figures)
                    if not ok:
                        failures[(case, transport)] = failures.get((case, transport), 0) + 1
                    print(f"{case:>15} {transport:>8} round {round_no}: {note}", flush=True)
    return summary(results, failures), not failures


def main(argv=None):
    args = parse_args(argv)
    return summary_main(run_all, args)


if __name__ == "__main__":
    sys.exit(main())
