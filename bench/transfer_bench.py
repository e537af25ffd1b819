"""Transfer benchmark: one file, loss-free and direct (no netsim), from one uploader to one
downloader and from three uploaders to one downloader, several runs each.

Prints per run and as the median of the runs: seconds (GET typed to GOT printed), MB/s
(10^6 bytes per second) and the CPU seconds (user + system, from the rusage of each stopped
peer) per GiB of the file, for every peer. Every uploader holds the whole file, so the layouts
differ only in how many peers serve it. The data file is made once under --dir, outside the
repository, and reused.

    python3 -m bench.transfer_bench [--size MIB] [--runs N] [--uploaders 1,3] [--bin build/bin]
"""

import argparse
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

from swarmlib import MB, MIB, SwarmError, add_folder_options, missing_programs, parse_list
from swarmlib.files import chunk_hashes, ensure_data_file, prepare_swarm
from swarmlib.processes import raise_on_sigterm
from swarmlib.run import run_swarm

GIB = 1 << 30
HASHLIST_TIMEOUT_S = 300


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_folder_options(p, ["peer", "hashlist"], data_dir=True)
    p.add_argument("--size", type=int, default=256, help="file size in MiB (default 256)")
    p.add_argument("--runs", type=int, default=3, help="runs per layout (default 3)")
    p.add_argument("--uploaders", default="1,3",
                   help="comma list of uploader counts, one layout each (default 1,3)")
    p.add_argument("--timeout", type=float, default=600.0,
                   help="longest wait for one run in seconds (default 600)")
    args = p.parse_args(argv)
    args.uploaders = parse_list(p, "--uploaders", args.uploaders, int, lambda n: n >= 1)
    if args.size < 1 or args.runs < 1 or args.timeout <= 0:
        p.error("--size, --runs and --timeout must be positive")
    missing = missing_programs(args.bin, ["peer", "hashlist"])
    if missing:
        p.error("; ".join(missing))
    return args


def layout_name(uploaders):
    return f"{uploaders} uploader{'s' if uploaders > 1 else ''}"


def one_run(args, data, hashes, uploaders):
    """Runs the swarm once in a fresh folder under --dir, removed afterwards.

    Returns (seconds, MB/s, {peer name: CPU seconds per GiB}) or raises SwarmError."""
    work = Path(tempfile.mkdtemp(prefix="run-", dir=args.dir))
    try:
        files = prepare_swarm(work, data, hashes, uploaders, copies=uploaders)
        run = run_swarm(args.bin, files, args.timeout)
        if not run.verified:
            raise SwarmError(run.download.reason or "the downloaded copy differs")
        gib = files.size / GIB
        cpu = {f"{p.name}{' (downloader)' if p is run.downloader else ''}":
               p.cpu_seconds() / gib for p in [run.downloader] + run.uploaders}
        return run.download.seconds, files.size / MB / run.download.seconds, cpu
    finally:
        shutil.rmtree(work, ignore_errors=True)


def cpu_text(cpu):
    return "  ".join(f"{name} {value:.2f}" for name, value in cpu.items())


def median_of(results):
    """The per-column median of (seconds, MB/s, cpu dict) results."""
    cpu = {name: statistics.median(r[2][name] for r in results) for name in results[0][2]}
    return (statistics.median(r[0] for r in results), statistics.median(r[1] for r in results),
            cpu)


def bench_layout(args, data, hashes, uploaders):
    """All runs of one layout, each printed as it ends; returns the successful results."""
    results = []
    for i in range(1, args.runs + 1):
        label = f"  {layout_name(uploaders):<12} run {i}/{args.runs}:"
        try:
            seconds, rate, cpu = one_run(args, data, hashes, uploaders)
        except SwarmError as e:
            print(f"{label} FAILED: {e}", flush=True)
            continue
        results.append((seconds, rate, cpu))
        print(f"{label} {seconds:7.2f} s  {rate:7.1f} MB/s   CPU s/GiB: {cpu_text(cpu)}",
              flush=True)
    return results


def print_medians(medians):
    print("median of the successful runs")
    for uploaders, (count, (seconds, rate, cpu)) in medians.items():
        runs = f"({count} run{'s' if count > 1 else ''})"
        print(f"  {layout_name(uploaders):<12} {runs:<8} {seconds:7.2f} s  {rate:7.1f} MB/s"
              f"   CPU s/GiB: {cpu_text(cpu)}")


def main(argv=None):
    args = parse_args(argv)
    raise_on_sigterm()
    medians = {}
    try:
        data = ensure_data_file(args.dir, args.size * MIB)
        hashes = chunk_hashes(args.bin, data, HASHLIST_TIMEOUT_S)
        print(f"transfer benchmark: {args.size} MiB ({data}), {args.runs} "
              f"run{'s' if args.runs > 1 else ''} per layout, "
              f"direct on 127.0.0.1, no loss", flush=True)
        for uploaders in args.uploaders:
            results = bench_layout(args, data, hashes, uploaders)
            if results:
                medians[uploaders] = (len(results), median_of(results))
    except KeyboardInterrupt:
        print("interrupted; every process was stopped", file=sys.stderr)
        return 130
    except SwarmError as e:
        print(f"benchmark failed: {e}", file=sys.stderr)
        return 1
    print_medians(medians)
    failed = len(args.uploaders) * args.runs - sum(c for c, _ in medians.values())
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
