"""Joining with a link: one sharer and G getters through netsim, every member behind an access
link (--up and --down KB/s), each getter started with nothing but the link at a random moment of
the first --spread seconds; against the same swarm started at once from a full peer list.

    python3 -m bench.join [--getters 16] [--size 16] [--up 2000] [--down 8000] [--spread 10]
                          [--runs 3] [--seed 1] [--timeout 300] [--bin build/bin]
                          [--dir /tmp/p2p-bench]

Each run prints, for both swarms, whether every copy is byte-exact, the last getter's time from
its own start, and for the staggered swarm how many of the members that were live 3 s after a
getter's start (running then, and for 1 s already) it knew then (the getter says how many members it knows, 3 s in, when
TOLVANE_MEMBERS_AT_S=3 is set). At the end: the medians over the runs, and the ratio of the
staggered swarm's last time to the full list's, run by run (targets: every getter knows at least
90% of the live members 3 s in; the ratio at most 1.3). Both swarms are sealed (the link's key,
the share's key file) and run the adaptive transport."""

import argparse
import random
import re
import statistics
import sys
import time
from pathlib import Path

from swarmlib import MIB, SwarmError, add_folder_options, missing_programs
from swarmlib.files import ensure_data_file, free_udp_ports
from swarmlib.processes import reap_if_exited, start, stop_all, stop_process
from swarmlib.router import start_netsim

MEMBERS_AT_S = 3
JOIN_GRACE_S = 1.0
KNOWN = re.compile(r"tolvane: (\d+) members? known 3(\.0)? s after the start")


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python3 -m bench.join", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--getters", type=int, default=16)
    p.add_argument("--size", type=int, default=16, help="file size in MiB (default 16)")
    p.add_argument("--up", type=float, default=2000, help="every member's uplink, KB/s")
    p.add_argument("--down", type=float, default=8000, help="every member's downlink, KB/s")
    p.add_argument("--spread", type=float, default=10, help="getters start over this many s")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--seed", type=int, default=1, help="of the start times and of netsim")
    p.add_argument("--timeout", type=float, default=300, help="longest wait for one swarm, s")
    add_folder_options(p, ["tolvane", "netsim"], data_dir=True)
    return p.parse_args(argv)


def tolvane(args):
    return Path(args.bin).resolve() / "tolvane"


def start_router(procs, args, work, run):
    router = start_netsim(procs, args.bin, work,
                          ["--seed", str(args.seed + run), "--node",
                           f"* up={args.up:g} down={args.down:g}"], time.monotonic() + 10)
    return {"VEXLO_ROUTER": f"127.0.0.1:{router.port}"}


def wait_for_line(path, proc, deadline):
    while time.monotonic() < deadline:
        text = path.read_text(errors="replace") if path.exists() else ""
        if "\n" in text:
            return text.split("\n", 1)[0]
        if reap_if_exited(proc):
            raise SwarmError(f"{proc.name} exited with status {proc.status}: "
                             f"{proc.log.read_text(errors='replace')[-400:]}")
        time.sleep(0.02)
    raise SwarmError(f"{proc.name} printed nothing in time")


def follow(getters, deadline):
    """Waits for every getter to end; its end time (monotonic) by index, for those that ended
    with status 0."""
    ends = {}
    while len(ends) < len(getters) and time.monotonic() < deadline:
        for i, g in enumerate(getters):
            if g is not None and i not in ends and reap_if_exited(g):
                ends[i] = time.monotonic() if g.status == 0 else None
        time.sleep(0.02)
    return ends


def verified(data, outs):
    want = data.read_bytes()
    return all(o.is_file() and o.read_bytes() == want for o in outs)


def staggered(args, data, work, run, starts):
    """The link swarm; (last getter's time from its start, verified, [known/live per getter])."""
    procs = []
    try:
        env = start_router(procs, args, work, run)
        ports = free_udp_ports(args.getters + 1)
        sharer = start(procs, "sharer", [tolvane(args), "share", data, "--bind", "127.0.0.1",
                                         "--port", ports[0]], work, env,
                       stdout=work / "share.out", stderr=work / "share.err")
        link = wait_for_line(work / "share.out", sharer, time.monotonic() + 60)
        began = time.monotonic()
        getters = [None] * args.getters
        begun = [0.0] * args.getters
        order = sorted(range(args.getters), key=lambda i: starts[i])
        env = dict(env, TOLVANE_MEMBERS_AT_S=str(MEMBERS_AT_S))
        for i in order:
            while time.monotonic() < began + starts[i]:
                time.sleep(0.005)
            begun[i] = time.monotonic()
            out = work / f"copy{i}.bin"
            getters[i] = start(procs, f"getter {i}",
                               [tolvane(args), "get", link, out, "--bind", "127.0.0.1",
                                "--port", ports[i + 1]], work, env,
                               stdout=work / f"get{i}.out", stderr=work / f"get{i}.err")
        ends = follow(getters, began + args.timeout)
        stop_process(sharer)
    finally:
        stop_all(procs)
    times = [ends[i] - begun[i] for i in ends if ends[i] is not None]
    done = len(times) == args.getters
    known = []
    for i in range(args.getters):
        at = begun[i] + MEMBERS_AT_S
        # Live: running at that moment, and for JOIN_GRACE_S already (one that started a moment
        # before cannot have been heard of yet).
        live = 1 + sum(1 for j in range(args.getters)
                       if j != i and begun[j] <= at - JOIN_GRACE_S
                       and (ends.get(j) or float("inf")) > at)
        m = KNOWN.search((work / f"get{i}.err").read_text(errors="replace"))
        if m:
            known.append((int(m.group(1)), live))
        elif (ends.get(i) or float("inf")) > at:
            known.append((0, live))  # running, yet it said nothing: counted as knowing none
    outs = [work / f"copy{i}.bin" for i in range(args.getters)]
    return (max(times) if done else float("nan")), done and verified(data, outs), known


def all_at_once(args, data, work, run):
    """The same swarm from a full peer list, every getter started at once; (last time,
    verified)."""
    procs = []
    ports = free_udp_ports(args.getters + 1)
    peers = work / "peers.txt"
    peers.write_text("".join(f"{i + 1} 127.0.0.1 {p}\n" for i, p in enumerate(ports)))
    key = work / "data.key"
    key.unlink(missing_ok=True)
    try:
        env = start_router(procs, args, work, run)
        sharer = start(procs, "sharer", [tolvane(args), "share", data, "--peers", peers, "--id",
                                         "1", "--hashes", work / "data.chunks", "--key", key],
                       work, env, stdout=work / "list-share.out", stderr=work / "list-share.err")
        wait_for_line(work / "list-share.out", sharer, time.monotonic() + 60)
        began = time.monotonic()
        getters = [start(procs, f"getter {i}",
                         [tolvane(args), "get", work / "data.chunks", work / f"list{i}.bin",
                          "--peers", peers, "--id", i + 2, "--key", key], work, env,
                         stdout=work / f"list-get{i}.out", stderr=work / f"list-get{i}.err")
                   for i in range(args.getters)]
        ends = follow(getters, began + args.timeout)
        stop_process(sharer)
    finally:
        stop_all(procs)
    times = [t - began for t in ends.values() if t is not None]
    done = len(times) == args.getters
    outs = [work / f"list{i}.bin" for i in range(args.getters)]
    return (max(times) if done else float("nan")), done and verified(data, outs)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    missing = missing_programs(args.bin, ["tolvane", "netsim"])
    if missing:
        sys.exit("\n".join(missing))
    try:
        data = ensure_data_file(args.dir, args.size * MIB)
        work = Path(args.dir).resolve() / "join"
        work.mkdir(parents=True, exist_ok=True)
        rng = random.Random(args.seed)
        ratios, lasts, fulls, worst = [], [], [], []
        for run in range(args.runs):
            for old in work.glob("*.bin"):
                old.unlink()
            starts = [rng.uniform(0, args.spread) for _ in range(args.getters)]
            last, ok, known = staggered(args, data, work, run, starts)
            full, full_ok = all_at_once(args, data, work, run)
            share = min((k / live for k, live in known), default=float("nan"))
            print(f"run {run + 1}: link, started over {args.spread:g} s: last {last:.2f} s, "
                  f"byte-exact {'yes' if ok else 'NO'}; full list at once: last {full:.2f} s, "
                  f"byte-exact {'yes' if full_ok else 'NO'}; ratio {last / full:.2f}; known 3 s "
                  f"in: lowest {share:.0%} of the live members "
                  f"({' '.join(f'{k}/{live}' for k, live in known)}; getters done within 3 s "
                  f"left out)", flush=True)
            ratios.append(last / full)
            lasts.append(last)
            fulls.append(full)
            worst.append(share)
        print(f"median of {args.runs}: link last {statistics.median(lasts):.2f} s, full list last "
              f"{statistics.median(fulls):.2f} s, ratio {statistics.median(ratios):.2f} "
              f"(target <= 1.3); lowest share of live members known 3 s in "
              f"{statistics.median(worst):.0%} (target >= 90%)")
    except SwarmError as e:
        sys.exit(f"join: {e}")
    except KeyboardInterrupt:
        sys.exit(130)


if __name__ == "__main__":
    main()
