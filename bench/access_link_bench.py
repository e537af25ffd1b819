"""Access-link benchmark: uploaders (default 3) into one downloader through netsim, with the
downloader's node limited to a rate (`node 127.0.0.1:PORT down=RATE`: one downlink that every
upload shares) and, in the same round, with that rate on each link into it instead
(`link * 127.0.0.1:PORT bandwidth=RATE`: every upload gets the rate on its own).

Every datagram also gets the one-way --delay. Each uploader holds its own part of the chunks
(--copies 1), so all of them serve until the end. Prints each run's seconds and MB/s (10^6 bytes
per second), the datagrams each uploader sent and, for the node, its downlink's tail drops,
peak queue and time-averaged queueing delay; then per case the median MB/s and its ratio to the
rate, and the median ratio of node to link over the rounds. One would expect the node near the
rate and the links near uploaders times it.

    python3 -m bench.access_link_bench [--rate 1000] [--uploaders 3] [--size 32] [--runs 3]
                                       [--copies 1] [--delay 5] [--transport adaptive]
                                       [--seed 1] [--timeout 300]
                                       [--bin build/bin] [--dir /tmp/p2p-bench]
"""

import argparse
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

from swarmlib import DOWNLOADER_ID, MB, MIB, add_folder_options, missing_programs
from swarmlib.files import chunk_hashes, ensure_data_file, peer_ports, prepare_swarm
from swarmlib.router import MAX_RATE, MIN_RATE, netsim_counters, node_rules
from swarmlib.run import run_swarm, summary_main

HASHLIST_TIMEOUT_S = 120
CASES = ("node", "link")


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_folder_options(p, ["peer", "hashlist", "netsim"], data_dir=True)
    p.add_argument("--rate", type=float, default=1000.0,
                   help="the downloader's rate in KB/s, on its node or on each link (default 1000)")
    p.add_argument("--uploaders", type=int, default=3, help="uploading peers (default 3)")
    p.add_argument("--size", type=float, default=32.0, help="file size in MiB (default 32)")
    p.add_argument("--runs", type=int, default=3, help="rounds, each running both cases (default 3)")
    p.add_argument("--copies", type=int, default=1,
                   help="uploaders holding each chunk (default 1: each its own part)")
    p.add_argument("--delay", type=float, default=5.0,
                   help="one-way delay of every datagram in ms (default 5)")
    p.add_argument("--transport", choices=("classic", "adaptive"), default="adaptive",
                   help="transport profile of every peer (default adaptive)")
    p.add_argument("--seed", type=int, default=1, help="netsim seed (default 1)")
    p.add_argument("--timeout", type=float, default=300.0,
                   help="longest wait for one run in seconds (default 300)")
    args = p.parse_args(argv)
    if not (MIN_RATE <= args.rate <= MAX_RATE and args.uploaders >= 1 and args.runs >= 1
            and 1 <= args.copies <= args.uploaders and args.size * MIB >= 1 and args.delay >= 0
            and args.timeout > 0):
        p.error(f"--rate must be from {MIN_RATE:g} to {MAX_RATE:g}, --copies from 1 to "
                "--uploaders, --uploaders, --runs, --size and --timeout positive, --delay not "
                "negative")
    missing = missing_programs(args.bin, ["peer", "hashlist", "netsim"])
    if missing:
        p.error("; ".join(missing))
    return args


def case_rules(case, args, downloader_port):
    """The rule file of a case: the delay everywhere, the rate on the node or on each link."""
    rules = [f"all delay={args.delay:g}"]
    if case == "node":
        rules += node_rules({downloader_port: (None, args.rate)})
    else:
        rules.append(f"link * 127.0.0.1:{downloader_port} bandwidth={args.rate:g}")
    return "".join(line + "\n" for line in rules)


def node_figures(router, port):
    """The counters of the downloader's downlink as a dict, empty when netsim printed none."""
    start = f"node 127.0.0.1:{port} down "
    for line in netsim_counters(router):
        if line.startswith(start):
            return dict(word.split("=", 1) for word in line[len(start):].split())
    return {}


def uploads(router, port):
    """The datagrams netsim forwarded on each link into the downloader (nearly all DATA), in the
    order the links appeared."""
    into = f"->127.0.0.1:{port} "
    return [int(line.split(" forwarded=")[1].split()[0])
            for line in netsim_counters(router) if line.startswith("link ") and into in line]


def one_run(args, data, hashes, case):
    """One download of the case in a fresh folder under --dir (removed afterwards); returns MB/s
    (None when the copy was not verified) and a note for the run's line."""
    work = Path(tempfile.mkdtemp(prefix="access-", dir=args.dir))
    try:
        files = prepare_swarm(work, data, hashes, args.uploaders, args.copies)
        port = peer_ports(files)[DOWNLOADER_ID]
        rules = work / "rules.txt"
        rules.write_text(case_rules(case, args, port))
        run = run_swarm(args.bin, files, args.timeout,
                        ["--config", str(rules), "--seed", str(args.seed)],
                        peer_args=["--transport", args.transport])
        d = run.download
        if not run.verified:
            return None, f"FAILED after {d.seconds:.1f} s: {d.reason or 'copy differs'}"
        rate = files.size / MB / d.seconds
        sent = "/".join(str(n) for n in uploads(run.router, port))
        note = f"{d.seconds:6.1f} s  {rate:5.2f} MB/s   datagrams per uploader {sent}"
        figures = node_figures(run.router, port)
        if figures:
            note += (f"   downlink taildrop {figures['taildrop']}, peak queue "
                     f"{figures['peak_queued_bytes']} bytes, time-averaged queueing delay "
                     f"{figures['avg_delay_ms']} ms")
        return rate, note
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_all(args):
    """Every round runs both cases in turn; returns the summary lines and whether all finished."""
    data = ensure_data_file(args.dir, int(round(args.size * MIB)))
    hashes = chunk_hashes(args.bin, data, HASHLIST_TIMEOUT_S)
    print(f"access-link benchmark: {args.size:g} MiB from {args.uploaders} uploaders (every chunk "
          f"held by {args.copies}), {args.transport} profile, delay "
          f"{args.delay:g} ms each way, seed {args.seed}, {args.runs} rounds", flush=True)
    rates = {case: [] for case in CASES}
    ratios = []
    all_ok = True
    for round_no in range(1, args.runs + 1):
        got = {}
        for case in CASES:
            got[case], note = one_run(args, data, hashes, case)
            print(f"round {round_no} {case:>4}: {note}", flush=True)
            if got[case] is None:
                all_ok = False
            else:
                rates[case].append(got[case])
        if got["node"] and got["link"]:
            ratios.append(got["node"] / got["link"])
    rate_mb = args.rate * 1000 / MB
    lines = []
    for case, what in (("node", f"node down={args.rate:g}"),
                       ("link", f"link bandwidth={args.rate:g} each")):
        if rates[case]:
            median = statistics.median(rates[case])
            lines.append(f"{what:>24}: median {median:.2f} MB/s of {len(rates[case])} runs, "
                         f"{median / rate_mb:.2f} x the rate")
    if ratios:
        lines.append(f"{'node / link':>24}: median {statistics.median(ratios):.2f} over "
                     f"{len(ratios)} rounds")
    return lines, all_ok


def main(argv=None):
    args = parse_args(argv)
    args.dir.mkdir(parents=True, exist_ok=True)
    return summary_main(run_all, args)


if __name__ == "__main__":
    sys.exit(main())
