"""Loss benchmark: the default demo swarm (4 uploaders, every chunk held by two, 64 MiB) through
netsim with a one-way delay of 5 ms on every datagram, at 0%, 1%, 2% and 5% loss.

Prints for each loss rate the seconds (GET typed to GOT printed), MB/s (10^6 bytes per second),
the peak sending window (packets) each uploader reached, the number of window decreases (losses
the uploaders reacted to) and the datagrams netsim dropped. The uploaders run with debug bit 16,
whose "SS increase to", "AIMD window increase to" and "Window decrease to" lines give the window
sizes. Each run has its own time limit; a run that hits it is reported as timed out.

    python3 -m bench.netsim_loss_bench [--losses 0,0.01,0.02,0.05] [--timeout S] [--bin build/bin]
"""

import argparse
import re
import shutil
import sys
import tempfile
from pathlib import Path

from swarmlib import (DEMO_COPIES, DOWNLOADER_ID, MB, MIB, SwarmError, add_folder_options,
                      missing_programs, parse_list)
from swarmlib.files import chunk_hashes, ensure_data_file, prepare_swarm
from swarmlib.processes import raise_on_sigterm
from swarmlib.progress import Progress
from swarmlib.router import netsim_counters
from swarmlib.run import run_swarm

DEBUG_WINDOW = 16
WINDOW_GROWTH = re.compile(r"^(?:SS increase to|AIMD window increase to) (\d+) $", re.MULTILINE)
WINDOW_DECREASE = re.compile(r"^Window decrease to \d+, ssthreath = \d+ $", re.MULTILINE)
HASHLIST_TIMEOUT_S = 120


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_folder_options(p, ["peer", "hashlist", "netsim"], data_dir=True)
    p.add_argument("--size", type=float, default=64.0, help="file size in MiB (default 64)")
    p.add_argument("--peers", type=int, default=4, help="uploading peers (default 4)")
    p.add_argument("--delay", type=float, default=5.0,
                   help="one-way delay of every datagram in ms (default 5)")
    p.add_argument("--losses", default="0,0.01,0.02,0.05",
                   help="comma list of loss probabilities, one run each (default 0,0.01,0.02,0.05)")
    p.add_argument("--seed", type=int, default=1, help="netsim seed (default 1)")
    p.add_argument("--timeout", type=float, default=1800.0,
                   help="longest wait for one run in seconds (default 1800)")
    args = p.parse_args(argv)
    args.losses = parse_list(p, "--losses", args.losses, float, lambda x: 0 <= x <= 1)
    if not (args.size * MIB >= 1 and args.peers >= 1 and args.delay >= 0
            and args.timeout > 0):
        p.error("--size, --peers and --timeout must be positive, --delay not negative")
    missing = missing_programs(args.bin, ["peer", "hashlist", "netsim"])
    if missing:
        p.error("; ".join(missing))
    return args


def window_figures(log):
    """(peak window, window decreases) from an uploader's debug-16 log; the peak is None when
    the window never grew (the uploader served nothing, or never got past its first packet)."""
    text = log.read_text(errors="replace") if log.is_file() else ""
    peaks = [int(n) for n in WINDOW_GROWTH.findall(text)]
    return (max(peaks) if peaks else None), len(WINDOW_DECREASE.findall(text))


def netsim_dropped(router):
    """All datagrams netsim dropped, summed over its links."""
    return sum(int(m) for line in netsim_counters(router)
               for m in re.findall(r" dropped=(\d+)", line))


def one_run(args, data, hashes, loss):
    """Runs the swarm once at `loss` in a fresh folder under --dir, removed afterwards."""
    work = Path(tempfile.mkdtemp(prefix="loss-", dir=args.dir))
    try:
        files = prepare_swarm(work, data, hashes, args.peers, DEMO_COPIES)
        options = ["--loss", str(loss), "--delay", str(args.delay), "--seed", str(args.seed)]
        progress = Progress(files)
        try:
            run = run_swarm(args.bin, files, args.timeout, options,
                            uploader_debug=DEBUG_WINDOW, on_progress=progress.update)
        finally:
            progress.finish()
        windows = [window_figures(p.log) for p in run.uploaders]
        return files, run, windows, netsim_dropped(run.router)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def result_line(loss, files, run, windows, dropped):
    d = run.download
    if run.verified:
        outcome = f"{d.seconds:8.1f} s  {files.size / MB / d.seconds:6.2f} MB/s"
    elif d.reason == "timed out":
        outcome = f"timed out after {d.seconds:.0f} s with {d.chunks}/{files.chunks} chunks"
    else:
        outcome = (f"FAILED after {d.seconds:.1f} s with {d.chunks}/{files.chunks} chunks: "
                   f"{d.reason or 'copy differs'}")
    peaks = " ".join("-" if peak is None else str(peak) for peak, _ in windows)
    decreases = sum(n for _, n in windows)
    return (f"loss {100 * loss:4.1f}%: {outcome}   peak windows {peaks}   "
            f"window decreases {decreases}   netsim dropped {dropped}")


def run_all(args):
    """Runs every loss rate in turn, printing each result as it comes; returns the lines and
    whether every copy was verified."""
    size = int(round(args.size * MIB))
    data = ensure_data_file(args.dir, size)
    hashes = chunk_hashes(args.bin, data, HASHLIST_TIMEOUT_S)
    copies = min(DEMO_COPIES, args.peers)
    print(f"netsim loss benchmark: {args.size:g} MiB, {args.peers} uploaders (every chunk held by "
          f"{copies}), delay {args.delay:g} ms each way, seed {args.seed}, "
          f"at most {args.timeout:g} s per run", flush=True)
    ids = " ".join(str(DOWNLOADER_ID + 1 + k) for k in range(args.peers))
    print(f"peak windows in packets, of uploaders {ids}", flush=True)
    lines = []
    all_ok = True
    for loss in args.losses:
        print(f"running at loss {100 * loss:g}% ...", flush=True)
        files, run, windows, dropped = one_run(args, data, hashes, loss)
        lines.append(result_line(loss, files, run, windows, dropped))
        print(lines[-1], flush=True)
        all_ok = all_ok and run.verified
    return lines, all_ok


def main(argv=None):
    args = parse_args(argv)
    raise_on_sigterm()
    try:
        lines, all_ok = run_all(args)
    except KeyboardInterrupt:
        print("interrupted; every process was stopped", file=sys.stderr)
        return 130
    except SwarmError as e:
        print(f"benchmark failed: {e}", file=sys.stderr)
        return 1
    print("summary")
    for line in lines:
        print("  " + line)
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
