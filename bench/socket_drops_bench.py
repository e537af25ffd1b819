"""Socket drops at a downloader fed by many uploaders at once: N uploaders (24 by default) each
holding its own share of the file, one downloader, all on 127.0.0.1 without netsim, adaptive
profile. Each round runs every receive buffer of --buffers in turn (0: the kernel's default; the
peer asks for 4 MiB by default), so all see the same machine load.

Prints per run: seconds, MB/s and the datagrams the downloader's socket dropped for want of room,
twice: as the downloader's summary line gives them (the kernel's count that comes with received
datagrams) and as /proc/net/udp's drops column showed them for its port while it ran. A run that
does not complete within --timeout still shows its drops, and keeps its folder. Then per buffer:
runs complete, their median time, and the median drops.

    python3 -m bench.socket_drops_bench [--uploaders 24] [--size 48] [--runs 3]
                                        [--buffers 0,4194304,16777216] [--timeout 60]
                                        [--transport adaptive] [--bin build/bin] [--dir DIR]
"""

import argparse
import dataclasses
import re
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

from swarmlib import (MB, MIB, DOWNLOADER_ID, SwarmError, add_folder_options, missing_programs,
                      parse_list)
from swarmlib.files import chunk_hashes, ensure_data_file, peer_ports, prepare_swarm
from swarmlib.run import run_swarm, summary_main

HASHLIST_TIMEOUT_S = 300
SUMMARY = re.compile(r"^summary: .*?(?:; socket drops: (\d+))?$", re.M)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_folder_options(p, ["peer", "hashlist"], data_dir=True)
    p.add_argument("--uploaders", type=int, default=24, help="uploaders (default 24)")
    p.add_argument("--size", type=int, default=48, help="file size in MiB (default 48)")
    p.add_argument("--runs", type=int, default=3, help="runs of each case (default 3)")
    p.add_argument("--transport", default="adaptive", choices=["classic", "adaptive"])
    p.add_argument("--buffers", default="0,4194304,16777216",
                   help="comma list of --receive-buffer values, bytes (0: the kernel's default; "
                        "default 0,4194304,16777216)")
    p.add_argument("--timeout", type=float, default=60.0, help="longest run, s (default 60)")
    args = p.parse_args(argv)
    args.buffers = parse_list(p, "--buffers", args.buffers, int, lambda b: 0 <= b <= 1 << 29)
    if args.uploaders < 1 or args.size < 1 or args.runs < 1 or args.timeout <= 0:
        p.error("--uploaders, --size, --runs and --timeout must be positive")
    missing = missing_programs(args.bin, ["peer", "hashlist"])
    if missing:
        p.error("; ".join(missing))
    return args


def proc_udp_drops(port):
    """The drops column of /proc/net/udp for the socket bound to 127.0.0.1:port; None if absent."""
    try:
        with open("/proc/net/udp") as f:
            rows = f.read().splitlines()[1:]
    except OSError:
        return None
    want = f"0100007F:{port:04X}"
    for row in rows:
        fields = row.split()
        if len(fields) >= 13 and fields[1] == want:
            return int(fields[12])
    return None


@dataclasses.dataclass
class Outcome:
    done: bool
    seconds: float
    chunks: int             # chunks verified by the downloader
    summary_drops: int      # from the summary line; None without one
    proc_drops: int         # last /proc/net/udp reading while the downloader ran; None if none
    note: str = ""


def one_run(args, data, hashes, buffer):
    """The Outcome of one run. A run that does not complete keeps its folder for a look at the
    peers' logs; its drops still count, as far as /proc/net/udp showed them."""
    work = Path(tempfile.mkdtemp(prefix="drops-", dir=args.dir))
    done = False
    try:
        files = prepare_swarm(work, data, hashes, args.uploaders, copies=1)
        port = peer_ports(files)[DOWNLOADER_ID]
        seen = {"drops": None}

        def watch(_chunks, _seconds):
            drops = proc_udp_drops(port)
            if drops is not None:
                seen["drops"] = drops

        run = run_swarm(args.bin, files, args.timeout, on_progress=watch,
                        peer_args=["--transport", args.transport, "--progress",
                                   "--receive-buffer", str(buffer)])
        done = run.verified
        found = SUMMARY.search(run.downloader.log.read_text(errors="replace"))
        drops = int(found.group(1)) if found and found.group(1) is not None else None
        note = "" if done else (f"{run.download.reason or 'the copy differs'} after "
                                f"{run.download.chunks} of {files.chunks} chunks (logs in {work})")
        return Outcome(done, run.download.seconds, run.download.chunks, drops, seen["drops"], note)
    finally:
        if done:
            shutil.rmtree(work, ignore_errors=True)


def text(value):
    return "n/a" if value is None else f"{value:g}"


def median(values):
    known = [v for v in values if v is not None]
    return statistics.median(known) if known else None


def case_name(buffer):
    return "kernel default" if buffer == 0 else f"{buffer / MIB:g} MiB asked"


def run_all(args):
    args.dir.mkdir(parents=True, exist_ok=True)
    data = ensure_data_file(args.dir, args.size * MIB)
    hashes = chunk_hashes(args.bin, data, HASHLIST_TIMEOUT_S)
    results = {b: [] for b in args.buffers}
    for r in range(args.runs):
        for b in args.buffers:
            o = one_run(args, data, hashes, b)
            results[b].append(o)
            if o.done:
                print(f"run {r + 1} {case_name(b):<14}  {o.seconds:6.2f} s  "
                      f"{args.size * MIB / MB / o.seconds:6.1f} MB/s  socket drops "
                      f"{text(o.summary_drops)} (/proc/net/udp {text(o.proc_drops)})", flush=True)
            else:
                print(f"run {r + 1} {case_name(b):<14}  failed: {o.note}; /proc/net/udp drops "
                      f"{text(o.proc_drops)}", flush=True)
    lines = []
    for b in args.buffers:
        runs = results[b]
        done = [o for o in runs if o.done]
        times = f"median {median([o.seconds for o in done]):.2f} s" if done else "no time"
        lines.append(f"{args.uploaders} uploaders, {args.size} MiB, {args.transport}, "
                     f"{case_name(b):<14}: {len(done)}/{len(runs)} complete, {times}; socket "
                     f"drops median {text(median([o.proc_drops for o in runs]))} of all runs "
                     f"(/proc/net/udp), {text(median([o.summary_drops for o in done]))} of the "
                     f"complete ones (summary line)")
    return lines, all(o.done for runs in results.values() for o in runs)


def main(argv=None):
    return summary_main(run_all, parse_args(sys.argv[1:] if argv is None else argv))


if __name__ == "__main__":
    sys.exit(main())
