"""Transfer benchmark: one file, loss-free and direct (no netsim), from one uploader to one
downloader and from three uploaders to one downloader, several runs each.

Prints per run and as the median of the runs: seconds (GET typed to GOT printed), MB/s
(10^6 bytes per second), the CPU seconds (user + system, from the rusage of each stopped
peer) per GiB of the file and the peak resident set size of every peer. Every uploader holds
the whole file, so the layouts differ only in how many peers serve it. The data file is made once
under --dir, outside the repository, and reused. --transport runs every layout with each profile.

With --baseline every run also moves the same MiB through bare_loop (a bare DATA+ACK loop on
127.0.0.1, built with the peer) three ways: one sendto/recvfrom per datagram, batched through the
shim as the peer batches (sendmmsg, recvmmsg, GSO and GRO where the kernel has them; the ceiling),
and batched with sendmmsg and recvmmsg alone; each run is set against the first two: peer MB/s
over the loop's, the downloader's CPU per GiB over the loop's receiving end and each uploader's
over its sending end, printed as the median over the runs.

    python3 -m bench.transfer_bench [--size MIB] [--runs N] [--uploaders 1,3]
                                    [--transport classic,adaptive] [--baseline] [--bin build/bin]
"""

import argparse
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from swarmlib import MB, MIB, SwarmError, add_folder_options, missing_programs, parse_list
from swarmlib.files import chunk_hashes, ensure_data_file, prepare_swarm
from swarmlib.processes import raise_on_sigterm
from swarmlib.run import run_guarded, run_swarm

GIB = 1 << 30
HASHLIST_TIMEOUT_S = 300
BARE = "bare loop"
BARE_BATCHED = "bare loop batched"
BARE_MMSG = "bare loop mmsg"
BARE_LOOPS = {BARE: [], BARE_BATCHED: ["--batched"], BARE_MMSG: ["--batched-plain"]}


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_folder_options(p, ["peer", "hashlist", "bare_loop"], data_dir=True)
    p.add_argument("--size", type=int, default=256, help="file size in MiB (default 256)")
    p.add_argument("--runs", type=int, default=3, help="runs per layout (default 3)")
    p.add_argument("--uploaders", default="1,3",
                   help="comma list of uploader counts, one layout each (default 1,3)")
    p.add_argument("--transport", default="classic",
                   help="comma list of transport profiles, every layout with each "
                        "(default classic)")
    p.add_argument("--baseline", action="store_true",
                   help="run bare_loop with the same MiB in every run and print the ratios to it")
    p.add_argument("--timeout", type=float, default=600.0,
                   help="longest wait for one run in seconds (default 600)")
    args = p.parse_args(argv)
    args.uploaders = parse_list(p, "--uploaders", args.uploaders, int, lambda n: n >= 1)
    args.transport = parse_list(p, "--transport", args.transport, str,
                                lambda x: x in ("classic", "adaptive"))
    if args.size < 1 or args.runs < 1 or args.timeout <= 0:
        p.error("--size, --runs and --timeout must be positive")
    missing = missing_programs(args.bin, ["peer", "hashlist"] +
                               (["bare_loop"] if args.baseline else []))
    if missing:
        p.error("; ".join(missing))
    return args


def layout_name(transport, uploaders):
    return f"{transport:<8} {uploaders} uploader{'s' if uploaders > 1 else ' '}"


def one_run(args, data, hashes, transport, uploaders):
    """Runs the swarm once in a fresh folder under --dir, removed afterwards.

    Returns (seconds, MB/s, {peer name: CPU seconds per GiB}, {peer name: peak RSS in MiB}) or
    raises SwarmError."""
    work = Path(tempfile.mkdtemp(prefix="run-", dir=args.dir))
    try:
        files = prepare_swarm(work, data, hashes, uploaders, copies=uploaders)
        run = run_swarm(args.bin, files, args.timeout, peer_args=["--transport", transport])
        if not run.verified:
            raise SwarmError(run.download.reason or "the downloaded copy differs")
        gib = files.size / GIB
        peers = [run.downloader] + run.uploaders
        names = [f"{p.name}{' (downloader)' if p is run.downloader else ''}" for p in peers]
        cpu = {name: p.cpu_seconds() / gib for name, p in zip(names, peers)}
        rss = {name: p.peak_rss_kib / 1024 for name, p in zip(names, peers)
               if p.peak_rss_kib is not None}
        return run.download.seconds, files.size / MB / run.download.seconds, cpu, rss
    finally:
        shutil.rmtree(work, ignore_errors=True)


def bare_run(args, loop=BARE):
    """Runs bare_loop once with the benchmark's MiB, the way `loop` names; (seconds, MB/s,
    {end: CPU s per GiB}, {})."""
    argv = [str(Path(args.bin) / "bare_loop"), "--mib", str(args.size)] + BARE_LOOPS[loop]
    try:
        result = subprocess.run(argv, capture_output=True, text=True, timeout=args.timeout,
                                check=False)
    except subprocess.TimeoutExpired as e:
        raise SwarmError(f"bare_loop took more than {args.timeout:g} s") from e
    except OSError as e:
        raise SwarmError(f"cannot run bare_loop: {e.strerror}") from e
    line = next((l for l in result.stdout.splitlines() if l.startswith("bare_loop")), None)
    if result.returncode != 0 or line is None:
        raise SwarmError(f"bare_loop failed: {result.stderr.strip() or 'no result line'}")
    fields = dict(f.split("=", 1) for f in line.split()[1:] if "=" in f)
    try:
        cpu = {"sender": float(fields["send_cpu_s_per_gib"]),
               "receiver": float(fields["recv_cpu_s_per_gib"])}
        return float(fields["seconds"]), float(fields["MBps"]), cpu, {}
    except (KeyError, ValueError) as e:
        raise SwarmError(f"bare_loop printed an unexpected line: {line}") from e


def per_peer_text(values, fmt=".2f"):
    return "  ".join(f"{name} {value:{fmt}}" for name, value in values.items())


def result_text(seconds, rate, cpu, rss):
    text = f"{seconds:7.2f} s  {rate:7.1f} MB/s   CPU s/GiB: {per_peer_text(cpu)}"
    if rss:
        text += f"   peak RSS MiB: {per_peer_text(rss, '.1f')}"
    return text


def median_of(results):
    """The per-column median of (seconds, MB/s, cpu dict, rss dict) results."""
    def per_name(column):
        return {name: statistics.median(r[column][name] for r in results)
                for name in results[0][column]}
    return (statistics.median(r[0] for r in results), statistics.median(r[1] for r in results),
            per_name(2), per_name(3))


def run_all(args, data, hashes, layouts):
    """Every run: the bare loop first when asked for, then each layout; each result printed as it
    ends. Returns {layout: {run number: result}}, BARE being the bare loop's layout."""
    results = {layout: {} for layout in layouts}
    for i in range(1, args.runs + 1):
        for layout in layouts:
            bare = layout in BARE_LOOPS
            name = layout if bare else layout_name(*layout)
            label = f"  run {i}/{args.runs} {name:<20}"
            try:
                result = bare_run(args, layout) if bare else one_run(args, data, hashes, *layout)
            except SwarmError as e:
                print(f"{label} FAILED: {e}", flush=True)
                continue
            results[layout][i] = result
            print(f"{label} {result_text(*result)}", flush=True)
    return results


def print_medians(results):
    print("median of the successful runs")
    for layout, runs in results.items():
        if not runs:
            continue
        name = layout if layout in BARE_LOOPS else layout_name(*layout)
        count = f"({len(runs)} run{'s' if len(runs) > 1 else ''})"
        print(f"  {name:<20} {count:<8} {result_text(*median_of(list(runs.values())))}")


def print_ratios(results, loop=BARE):
    """Each layout over the bare loop `loop` of the same run, the median over the runs: MB/s, and
    CPU per GiB of the downloader over the loop's receiving end and of every uploader over its
    sending end. Taken run by run, the ratios hold up better than the figures themselves
    when other work on the machine comes and goes."""
    bare = results.get(loop)
    if not bare:
        print(f"no ratios to the {loop}: it did not complete")
        return
    print(f"ratios to the {loop} of the same run, median over the runs")
    for layout, runs in results.items():
        pairs = [(runs[i], bare[i]) for i in runs if i in bare]
        if layout in BARE_LOOPS or not pairs:
            continue
        rate = statistics.median(r[1] / b[1] for r, b in pairs)
        ends = {name: statistics.median(
                    r[2][name] / b[2]["receiver" if "downloader" in name else "sender"]
                    for r, b in pairs)
                for name in pairs[0][0][2]}
        print(f"  {layout_name(*layout):<20} ({len(pairs)} run{'s' if len(pairs) > 1 else ''})"
              f"  MB/s {rate:.2f}   CPU per GiB: {per_peer_text(ends)}")


def main(argv=None):
    args = parse_args(argv)
    raise_on_sigterm()
    layouts = [(t, u) for t in args.transport for u in args.uploaders]
    if args.baseline:
        layouts[0:0] = list(BARE_LOOPS)

    def measure():
        data = ensure_data_file(args.dir, args.size * MIB)
        hashes = chunk_hashes(args.bin, data, HASHLIST_TIMEOUT_S)
        bare = "; the bare loops in every run" if args.baseline else ""
        print(f"transfer benchmark: {args.size} MiB ({data}), {args.runs} "
              f"run{'s' if args.runs > 1 else ''} per layout, "
              f"direct on 127.0.0.1, no loss{bare}", flush=True)
        return run_all(args, data, hashes, layouts)

    results, status = run_guarded(measure)
    if status is not None:
        return status
    print_medians(results)
    if args.baseline:
        print_ratios(results, BARE)
        print_ratios(results, BARE_BATCHED)
    failed = len(layouts) * args.runs - sum(len(r) for r in results.values())
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
