"""Loss benchmark: the default demo swarm (4 uploaders, every chunk held by two, 64 MiB) through
netsim with a one-way delay of 5 ms on every datagram, at 0%, 1%, 2% and 5% loss.

Prints for each loss rate the seconds (GET typed to GOT printed), MB/s (10^6 bytes per second),
the peak sending window (packets) each uploader reached, the number of window decreases (losses
the uploaders reacted to) and the datagrams netsim dropped. The uploaders run with debug bit 16,
whose "SS increase to", "AIMD window increase to" and "Window decrease to" lines give the window
sizes. Each run has its own time limit; a run that hits it is reported as timed out.

    python3 -m bench.netsim_loss_bench [--losses 0,0.01,0.02,0.05] [--timeout S] [--bin build/bin]
                                       [--up KB/S[,...]] [--down KB/S[,...]]
"""

import argparse
import math
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from swarmlib import (CHUNK_SIZE, DEMO_COPIES, DOWNLOADER_ID, MB, MIB, add_folder_options,
                      missing_programs, parse_list)
from swarmlib.files import chunk_hashes, ensure_data_file, peer_ports, prepare_swarm
from swarmlib.progress import Progress
from swarmlib.router import (access_rates, add_access_options, netsim_counters, node_options,
                             swarm_access_links)
from swarmlib.run import run_swarm, summary_main

DEBUG_LOSS = 8
FIRST_SAMPLE = "first RTT sample"
TIMEOUT_LOSS = re.compile(r"^timeout loss seq = \d+$", re.MULTILINE)
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
    p.add_argument("--transport", default="classic,adaptive",
                   help="comma list of transport profiles, each run on the same seed and path "
                        "(default classic,adaptive)")
    p.add_argument("--long-delay", type=float, default=750.0,
                   help="one-way delay in ms of an extra one-chunk run without loss (default 750; "
                        "0 skips it)")
    p.add_argument("--plot", type=Path, default=None,
                   help="write the uploaders' window logs next to this PNG and plot them into it "
                        "(needs matplotlib)")
    add_access_options(p)
    args = p.parse_args(argv)
    args.losses = parse_list(p, "--losses", args.losses, float, lambda x: 0 <= x <= 1)
    args.transport = parse_list(p, "--transport", args.transport, str,
                                lambda x: x in ("classic", "adaptive"))
    if not (args.size * MIB >= 1 and args.peers >= 1 and args.delay >= 0
            and args.timeout > 0):
        p.error("--size, --peers and --timeout must be positive, --delay not negative")
    args.up_rates = access_rates(p, "--up", args.up, args.peers + 1)
    args.down_rates = access_rates(p, "--down", args.down, args.peers + 1)
    missing = missing_programs(args.bin, ["peer", "hashlist", "netsim"])
    if missing:
        p.error("; ".join(missing))
    return args


def read_window_log(path):
    """[(ms, window)] of one uploader's --window-log, in order; empty when it wrote none."""
    points = []
    if path.is_file():
        for line in path.read_text(errors="replace").splitlines():
            fields = line.split()
            if len(fields) == 3 and all(f.lstrip("-").isdigit() for f in fields):
                points.append((int(fields[1]), int(fields[2])))
    return points


def window_figures(points):
    """(peak window, window decreases) of one uploader's log; the peak is None when the window
    never changed (the uploader served nothing)."""
    if not points:
        return None, 0
    windows = [w for _, w in points]
    decreases = sum(1 for a, b in zip(windows, windows[1:]) if b < a)
    return max(windows), decreases


def model_mb_per_s(loss, delay_ms, connections):
    """Goodput a TCP-like sender reaches on this path (Mathis et al.: 1.22 MSS / (RTT sqrt p))
    per connection, times the connections; None without loss."""
    if loss <= 0 or delay_ms <= 0:
        return None
    rtt = 2 * delay_ms / 1000.0
    return connections * 1.22 * 1400 / (rtt * math.sqrt(loss)) / MB


def netsim_dropped(router):
    """All datagrams netsim dropped, summed over its links."""
    return sum(int(m) for line in netsim_counters(router)
               for m in re.findall(r" dropped=(\d+)", line))


def timeouts_after_first_sample(log):
    """Timeouts an uploader's debug-8 log reports after its first RTT sample (adaptive), or in
    all (classic, which takes no samples)."""
    text = log.read_text(errors="replace") if log.is_file() else ""
    start = text.find(FIRST_SAMPLE)
    return len(TIMEOUT_LOSS.findall(text[start if start >= 0 else 0:]))


def file_label(label):
    """A case label as part of a file name, without blanks or "%": "loss 1%" is loss_1pct."""
    return label.replace("%", "pct").replace(" ", "_")


def one_run(args, data, hashes, loss, transport, delay, label, debug=0):
    """Runs the swarm once at `loss` and `delay` with one transport profile in a fresh folder
    under --dir, removed afterwards; the uploaders' window logs are kept under --plot's folder
    as <label>-<transport>-<peer>.log (label as file_label gives it) when --plot is given."""
    work = Path(tempfile.mkdtemp(prefix="loss-", dir=args.dir))
    try:
        files = prepare_swarm(work, data, hashes, args.peers, DEMO_COPIES)
        options = ["--loss", str(loss), "--delay", str(delay), "--seed", str(args.seed)]
        options += node_options(swarm_access_links(peer_ports(files), args.up_rates,
                                                   args.down_rates))
        progress = Progress(files)
        try:
            run = run_swarm(args.bin, files, args.timeout, options,
                            uploader_debug=debug, on_progress=progress.update,
                            peer_args=["--transport", transport], window_logs=True)
        finally:
            progress.finish()
        logs = [work / f"windows{p}.log" for p in files.uploader_ids]
        if args.plot:
            for peer_id, log in zip(files.uploader_ids, logs):
                if log.is_file():
                    shutil.copy(log, args.plot.parent /
                                f"{file_label(label)}-{transport}-{peer_id}.log")
        windows = [window_figures(read_window_log(log)) for log in logs]
        timeouts = sum(timeouts_after_first_sample(p.log) for p in run.uploaders)
        return files, run, windows, netsim_dropped(run.router), timeouts
    finally:
        shutil.rmtree(work, ignore_errors=True)


def goodput(files, run):
    """MB/s of a verified run, else None."""
    return files.size / MB / run.download.seconds if run.verified else None


def result_line(label, transport, files, run, windows, dropped, extra=""):
    d = run.download
    if run.verified:
        outcome = f"{d.seconds:8.1f} s  {goodput(files, run):6.2f} MB/s"
    elif d.reason == "timed out":
        outcome = f"timed out after {d.seconds:.0f} s with {d.chunks}/{files.chunks} chunks"
    else:
        outcome = (f"FAILED after {d.seconds:.1f} s with {d.chunks}/{files.chunks} chunks: "
                   f"{d.reason or 'copy differs'}")
    peaks = " ".join("-" if peak is None else str(peak) for peak, _ in windows)
    decreases = sum(n for _, n in windows)
    return (f"{label:>12} {transport:>8}: {outcome}   peak windows {peaks}   "
            f"window decreases {decreases}   netsim dropped {dropped}{extra}")


def ratio_line(label, rates, loss, delay, connections):
    """Adaptive against classic, and against the model, when both ran and finished."""
    parts = []
    if rates.get("adaptive") and rates.get("classic"):
        parts.append(f"adaptive/classic {rates['adaptive'] / rates['classic']:.1f}x")
    model = model_mb_per_s(loss, delay, connections)
    if model:
        parts.append(f"model {model:.2f} MB/s")
        for t, r in rates.items():
            if r:
                parts.append(f"{t}/model {r / model:.2f}")
    return f"{label:>12}   " + "   ".join(parts) if parts else None


def plot(args):
    """Turns the kept window logs into one picture; a note instead when matplotlib is missing."""
    script = Path(__file__).resolve().parent.parent / "scripts" / "plot_windows.py"
    logs = sorted(str(p) for p in args.plot.parent.glob("*-*-*.log"))
    result = subprocess.run(["/usr/bin/python3", str(script), "--out", str(args.plot)] + logs,
                            capture_output=True, text=True)
    print((result.stdout + result.stderr).strip() or f"window plot written to {args.plot}")


def run_case(args, data, hashes, loss, delay, label, lines, count_timeouts=False):
    """Every profile once on the same path; returns whether every copy was verified. With
    count_timeouts the uploaders log their losses (debug 8: a line per ACK in the classic
    profile, so only for short runs) and the timeouts after the first RTT sample are shown."""
    rates = {}
    ok = True
    for transport in args.transport:
        print(f"running {label} with {transport} ...", flush=True)
        files, run, windows, dropped, timeouts = one_run(
            args, data, hashes, loss, transport, delay, label, DEBUG_LOSS if count_timeouts else 0)
        rates[transport] = goodput(files, run)
        extra = f"   timeouts after the first RTT sample {timeouts}" if count_timeouts else ""
        lines.append(result_line(label, transport, files, run, windows, dropped, extra))
        print(lines[-1], flush=True)
        ok = ok and run.verified
    ratios = ratio_line(label, rates, loss, delay, args.peers)
    if ratios:
        lines.append(ratios)
        print(ratios, flush=True)
    return ok


def run_all(args):
    """Runs every loss rate in turn, and the long-delay case, printing each result as it comes;
    returns the lines and whether every copy was verified."""
    size = int(round(args.size * MIB))
    data = ensure_data_file(args.dir, size)
    hashes = chunk_hashes(args.bin, data, HASHLIST_TIMEOUT_S)
    copies = min(DEMO_COPIES, args.peers)
    if args.plot:
        args.plot.parent.mkdir(parents=True, exist_ok=True)
        for old in args.plot.parent.glob("*-*-*.log"):
            old.unlink()
    print(f"netsim loss benchmark: {args.size:g} MiB, {args.peers} uploaders (every chunk held by "
          f"{copies}), delay {args.delay:g} ms each way, seed {args.seed}, "
          f"at most {args.timeout:g} s per run, profiles {','.join(args.transport)}"
          + (f", access links up {args.up or '-'} down {args.down or '-'} KB/s"
             if args.up or args.down else ""), flush=True)
    ids = " ".join(str(DOWNLOADER_ID + 1 + k) for k in range(args.peers))
    print(f"peak windows in packets, of uploaders {ids}", flush=True)
    lines = []
    all_ok = True
    for loss in args.losses:
        all_ok = run_case(args, data, hashes, loss, args.delay, f"loss {100 * loss:g}%",
                          lines) and all_ok
    if args.long_delay > 0:
        one_chunk = ensure_data_file(args.dir, CHUNK_SIZE)
        one_hash = chunk_hashes(args.bin, one_chunk, HASHLIST_TIMEOUT_S)
        all_ok = run_case(args, one_chunk, one_hash, 0.0, args.long_delay,
                          f"{args.long_delay:g} ms", lines, count_timeouts=True) and all_ok
    if args.plot:
        plot(args)
    return lines, all_ok


def main(argv=None):
    args = parse_args(argv)
    return summary_main(run_all, args)


if __name__ == "__main__":
    sys.exit(main())
