"""Large-file benchmark: `tolvane get` of files of several sizes from one `tolvane share` on
127.0.0.1, to show that a download's cost per byte does not grow with the file.

Every run of every size starts a sharer of a random file of that size, waits until it serves,
and times one `tolvane get` into a fresh OUT, which is then compared with the file. Per run it
prints the seconds from the start of the get to its exit, MB/s, the getter's CPU seconds per GiB,
user and system apart (from its exit status), and the sharer's CPU seconds per GiB while the get
ran (from /proc, so its hashing at start is left out). As a floor in the same run, the same
number of bytes is written into a fresh file in 512 KiB pieces in random order, as a --swarm
download writes them: its seconds and system CPU per GiB show what the kernel alone costs at
that size. The summary gives the median of each figure per size, and per run the ratio of each
size's figures to the first size's in the same round (targets: MB/s at least 0.9 of it, the
getter's CPU per GiB within 10%: the user part is the engine's own, the system part the
kernel's sockets and page cache, which the floor shows).

    python3 -m bench.large_file_bench [--sizes 256,4096] [--runs 3] [--timeout 1800]
                                      [--bin build/bin] [--dir /tmp/p2p-bench/large]

The data files are made once under --dir (a 4 GiB file takes 4 GiB there, and each copy as much
again while its run lasts).
"""

import argparse
import os
import random
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

from bench.tolvane_bench import in_fresh_folder, same_bytes, wait_for_line, write_peer_list
from swarmlib import BENCH_DIR, CHUNK_SIZE, MB, MIB, SwarmError, add_folder_options
from swarmlib import missing_programs
from swarmlib import parse_list
from swarmlib.files import ensure_data_file
from swarmlib.processes import raise_on_sigterm, start, stop_all
from swarmlib.run import run_guarded

GIB = 1 << 30


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_folder_options(p, ["tolvane"], data_dir=True)
    p.set_defaults(dir=BENCH_DIR / "large")
    p.add_argument("--sizes", default="256,4096",
                   help="comma list of file sizes in MiB; the first is the reference "
                        "(default 256,4096)")
    p.add_argument("--runs", type=int, default=3, help="rounds over the sizes (default 3)")
    p.add_argument("--timeout", type=float, default=1800,
                   help="longest wait for one get in seconds (default 1800)")
    args = p.parse_args(argv)
    args.sizes = parse_list(p, "--sizes", args.sizes, int, lambda s: s > 0)
    if args.runs < 1 or args.timeout <= 0:
        p.error("--runs and --timeout must be positive")
    missing = missing_programs(args.bin, ["tolvane"])
    if missing:
        p.error("; ".join(missing))
    return args


def cpu_seconds_of(pid):
    """User plus system CPU seconds of a running process, from /proc."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def timed_get(args, work, hashes, out, peers):
    """Runs tolvane get to its end: (seconds, CPU seconds, status, standard error)."""
    argv = [str(args.bin / "tolvane"), "get", str(hashes), str(out), "--peers", str(peers),
            "--id", "2", "--timeout", f"{args.timeout:g}", "--public"]
    env = dict(os.environ)
    env.pop("VEXLO_ROUTER", None)
    began = time.monotonic()
    with open(work / "get.err", "w+b") as err:
        popen = subprocess.Popen(argv, cwd=work, env=env, stdout=subprocess.DEVNULL, stderr=err)
        _, status, rusage = os.wait4(popen.pid, 0)
        popen.returncode = os.waitstatus_to_exitcode(status)
        seconds = time.monotonic() - began
        err.seek(0)
        text = err.read().decode(errors="replace")
    return seconds, (rusage.ru_utime, rusage.ru_stime), popen.returncode, text


def write_floor(path, size):
    """Writes size bytes into a fresh file at path in 512 KiB pieces in random order, then
    removes it: (seconds, system CPU seconds)."""
    piece = os.urandom(CHUNK_SIZE)
    order = list(range((size + CHUNK_SIZE - 1) // CHUNK_SIZE))
    random.Random(1).shuffle(order)
    before = resource.getrusage(resource.RUSAGE_SELF)
    began = time.monotonic()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        for i in order:
            os.pwrite(fd, piece[:min(CHUNK_SIZE, size - i * CHUNK_SIZE)], i * CHUNK_SIZE)
    finally:
        os.close(fd)
    seconds = time.monotonic() - began
    after = resource.getrusage(resource.RUSAGE_SELF)
    path.unlink()
    return seconds, after.ru_stime - before.ru_stime


def one_get(args, work, data):
    """One sharer of data and one get of it: the run's figures."""
    procs = []
    try:
        peers = write_peer_list(work, [1, 2])
        share = start(procs, "tolvane share",
                      [args.bin / "tolvane", "share", data, "--peers", peers, "--id", "1",
                       "--hashes", work / "data.chunks", "--public"],
                      work, stdout=subprocess.PIPE, stderr=work / "share.err")
        wait_for_line(share, share.popen.stdout, "chunks$", time.monotonic() + args.timeout)
        share_before = cpu_seconds_of(share.pid)
        seconds, cpu, status, err = timed_get(args, work, work / "data.chunks",
                                              work / "copy.bin", peers)
        share_cpu = cpu_seconds_of(share.pid) - share_before
        if status != 0 or not same_bytes(data, work / "copy.bin"):
            raise SwarmError(f"tolvane get ended with {status}: {err.strip()[-300:]}")
        gib = data.stat().st_size / GIB
        (work / "copy.bin").unlink()
        floor_seconds, floor_sys = write_floor(work / "floor.bin", data.stat().st_size)
        return {"seconds": seconds, "MB/s": data.stat().st_size / MB / seconds,
                "get user s/GiB": cpu[0] / gib, "get sys s/GiB": cpu[1] / gib,
                "share CPU s/GiB": share_cpu / gib, "floor s": floor_seconds,
                "floor sys s/GiB": floor_sys / gib}
    finally:
        stop_all(procs)


def print_run(size, run, r):
    print(f"  {size} MiB run {run}: " +
          "   ".join(f"{k} {v:.3f}" if k == "seconds" else f"{k} {v:.2f}" for k, v in r.items()),
          flush=True)


def summary(args, rounds):
    """Medians per size, and per-run ratios to the first size's figures."""
    ref = args.sizes[0]
    lines = []
    for size in args.sizes:
        runs = [r[size] for r in rounds]
        m = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
        line = f"{size} MiB: medians " + "   ".join(f"{k} {v:.2f}" for k, v in m.items())
        if size != ref:
            def ratio(key):
                return statistics.median(r[size][key] / r[ref][key] for r in rounds)
            line += (f"; ratio to {ref} MiB per run, median: MB/s {ratio('MB/s'):.2f} "
                     f"(target >= 0.9), get user CPU/GiB {ratio('get user s/GiB'):.2f} and sys "
                     f"{ratio('get sys s/GiB'):.2f} (target 0.9 to 1.1), share CPU/GiB "
                     f"{ratio('share CPU s/GiB'):.2f}, floor sys/GiB "
                     f"{ratio('floor sys s/GiB'):.2f}")
        lines.append(line)
    return lines


def main(argv=None):
    args = parse_args(argv)
    raise_on_sigterm()

    def measure():
        args.dir.mkdir(parents=True, exist_ok=True)
        files = {s: ensure_data_file(args.dir, s * MIB) for s in args.sizes}
        print(f"large-file benchmark: {', '.join(f'{s} MiB' for s in args.sizes)}, "
              f"{args.runs} rounds, {args.bin}", flush=True)
        rounds = []
        for run in range(1, args.runs + 1):
            results = {}
            for size in args.sizes:
                results[size] = in_fresh_folder(args, lambda w, s=size: one_get(args, w, files[s]))
                print_run(size, run, results[size])
            rounds.append(results)
        return summary(args, rounds)

    lines, status = run_guarded(measure)
    if status is not None:
        return status
    for line in lines:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
