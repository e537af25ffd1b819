"""tolvane benchmark: the front end against the peer's own GET, a resumed get through a slow
path, and a get that nobody can serve.

Three cases, each run --runs times, every figure printed per run and as the median:

  direct   one `tolvane share`, one `tolvane get` of a --size MiB file on 127.0.0.1; in the same
           run, the same file from one `peer` to another by a GET typed on standard input, in
           each transport profile. Times run from the start of the downloading process to its
           exit (tolvane get) or to its GOT line (peer). Target: tolvane / peer at most 1.0.
  resume   `tolvane get` through netsim --bandwidth KB/S on every link, first into a fresh OUT,
           then into a copy whose odd chunks are wrong. Target: resumed / fresh under 0.7.
  nosource `tolvane get --timeout 4` with nobody at the other id of the peer list: seconds to
           its exit and its status. Target: non-zero within 10 s.

    python3 -m bench.tolvane_bench [--size 20] [--runs 3] [--bandwidth 2000]
                                   [--cases direct,resume,nosource] [--bin build/bin]
                                   [--dir /tmp/p2p-bench/tolvane]
"""

import argparse
import os
import re
import selectors
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from swarmlib import BENCH_DIR, CHUNK_SIZE, MIB, SwarmError, add_folder_options, parse_list
from swarmlib import missing_programs
from swarmlib.files import ensure_data_file, free_udp_ports
from swarmlib.run import run_guarded
from swarmlib.processes import raise_on_sigterm, start, stop_all

CASES = ("direct", "resume", "nosource")
PEER_PROFILES = ("classic", "adaptive")
NOSOURCE_TIMEOUT_S = 4


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_folder_options(p, ["tolvane", "peer", "netsim"], data_dir=True)
    p.set_defaults(dir=BENCH_DIR / "tolvane")
    p.add_argument("--size", type=float, default=20, help="file size in MiB (default 20)")
    p.add_argument("--runs", type=int, default=3, help="runs of each case (default 3)")
    p.add_argument("--bandwidth", type=float, default=2000,
                   help="netsim's rate of every link in the resume case, KB/s (default 2000)")
    p.add_argument("--cases", default=",".join(CASES),
                   help=f"comma list of cases (default {','.join(CASES)})")
    p.add_argument("--timeout", type=float, default=300,
                   help="longest wait for one transfer in seconds (default 300)")
    args = p.parse_args(argv)
    args.cases = parse_list(p, "--cases", args.cases, str, lambda c: c in CASES)
    if args.size <= 0 or args.runs < 1 or args.bandwidth <= 0 or args.timeout <= 0:
        p.error("--size, --runs, --bandwidth and --timeout must be positive")
    missing = missing_programs(args.bin, ["tolvane", "peer", "netsim"])
    if missing:
        p.error("; ".join(missing))
    return args


# ---- one run's files and processes ---------------------------------------------------------

def write_peer_list(work, ids):
    """A peer list of `ids` on free ports of 127.0.0.1 in work/peers."""
    ports = free_udp_ports(len(ids))
    path = work / "peers"
    path.write_text("".join(f"{i} 127.0.0.1 {port}\n" for i, port in zip(ids, ports)))
    return path


def wait_for_line(proc, stream, pattern, deadline):
    """Reads proc's `stream` (a pipe) until a line matches pattern; (the time it came, the line),
    or raises."""
    sel = selectors.DefaultSelector()
    sel.register(stream, selectors.EVENT_READ)
    pending = b""
    try:
        while time.monotonic() < deadline:
            if not sel.select(timeout=max(0.0, min(1.0, deadline - time.monotonic()))):
                continue
            chunk = os.read(stream.fileno(), 1 << 16)
            if not chunk:
                raise SwarmError(f"{proc.name} ended before printing {pattern!r}")
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for line in lines:
                text = line.decode(errors="replace")
                if re.search(pattern, text):
                    return time.monotonic(), text
        raise SwarmError(f"{proc.name} did not print {pattern!r} in time")
    finally:
        sel.close()


def start_share(procs, args, work, data, peers, env=None):
    # --public on both ends: the front end set against the peer's plain GET, wire for wire.
    share = start(procs, "tolvane share", [args.bin / "tolvane", "share", data, "--peers", peers,
                                           "--id", "1", "--hashes", work / "data.chunks",
                                           "--public"],
                  work, env=env, stdout=subprocess.PIPE, stderr=work / "share.err")
    wait_for_line(share, share.popen.stdout, "chunks$", time.monotonic() + args.timeout)
    return work / "data.chunks"


def timed_get(args, work, hashes, out, peers, env=None, extra=()):
    """Runs tolvane get to its end: (seconds, status, standard error)."""
    full_env = dict(os.environ)
    full_env.pop("VEXLO_ROUTER", None)
    full_env.update(env or {})
    argv = [str(args.bin / "tolvane"), "get", str(hashes), str(out), "--peers", str(peers),
            "--id", "2", "--public", *extra]
    began = time.monotonic()
    try:
        r = subprocess.run(argv, cwd=work, env=full_env, capture_output=True, text=True,
                           timeout=args.timeout, check=False)
    except subprocess.TimeoutExpired as e:
        raise SwarmError(f"tolvane get took more than {args.timeout:g} s") from e
    return time.monotonic() - began, r.returncode, r.stderr


def same_bytes(a, b):
    return subprocess.run(["cmp", "-s", str(a), str(b)], check=False).returncode == 0


# ---- the cases -----------------------------------------------------------------------------

def tolvane_direct(args, work, data):
    procs = []
    try:
        peers = write_peer_list(work, [1, 2])
        hashes = start_share(procs, args, work, data, peers)
        seconds, status, err = timed_get(args, work, hashes, work / "copy.bin", peers)
        if status != 0 or not same_bytes(data, work / "copy.bin"):
            raise SwarmError(f"tolvane get ended with {status}: {err.strip()[-300:]}")
        return seconds
    finally:
        stop_all(procs)


def peer_direct(args, work, data, profile):
    """The peer's own GET: uploader 2 holds every chunk, downloader 1 is given the GET as soon as
    it starts; seconds from its start to its GOT line."""
    procs = []
    try:
        hashes = subprocess.run([str(args.bin / "hashlist"), str(data)], capture_output=True,
                                text=True, check=True).stdout
        (work / "all.chunks").write_text(hashes)
        (work / "none.chunks").write_text("")
        (work / "master.chunks").write_text(f"File: {data}\nChunks:\n{hashes}")
        peers = write_peer_list(work, [1, 2])
        common = ["-p", peers, "-f", work / "master.chunks", "--transport", profile]
        up = start(procs, "peer 2", [args.bin / "peer", *common, "-c", work / "all.chunks",
                                     "-i", "2"], work, stderr=subprocess.PIPE)
        wait_for_line(up, up.popen.stderr, "vexlo_init", time.monotonic() + 10)
        began = time.monotonic()
        down = start(procs, "peer 1", [args.bin / "peer", *common, "-c", work / "none.chunks",
                                       "-i", "1"], work, stdout=subprocess.PIPE)
        down.popen.stdin.write(f"GET {work / 'all.chunks'} {work / 'copy.bin'}\n".encode())
        down.popen.stdin.flush()
        got, _ = wait_for_line(down, down.popen.stdout, "^GOT ", began + args.timeout)
        if not same_bytes(data, work / "copy.bin"):
            raise SwarmError("the peer's copy differs")
        return got - began
    finally:
        stop_all(procs)


def case_direct(args, data, run):
    results = {"tolvane": in_fresh_folder(args, lambda w: tolvane_direct(args, w, data))}
    for profile in PEER_PROFILES:
        results[f"peer {profile}"] = in_fresh_folder(
            args, lambda w, p=profile: peer_direct(args, w, data, p))
    print(f"  direct   run {run}: " + "   ".join(f"{k} {v:.3f} s" for k, v in results.items()),
          flush=True)
    return results


def spoil_odd_chunks(data, copy):
    """copy: data with one byte of every odd chunk changed (half the chunks wrong)."""
    shutil.copyfile(data, copy)
    size = copy.stat().st_size
    with open(copy, "r+b") as f:
        for offset in range(CHUNK_SIZE + 100, size, 2 * CHUNK_SIZE):
            f.seek(offset)
            byte = f.read(1)
            f.seek(offset)
            f.write(bytes([byte[0] ^ 0xFF]))


def get_through_router(args, work, data, out):
    """One tolvane get of data into out from a sharer of its own, every datagram through netsim
    at --bandwidth: (seconds, chunks the get found already there)."""
    procs = []
    try:
        router = start(procs, "netsim", [args.bin / "netsim", "--port", "0", "--bandwidth",
                                         f"{args.bandwidth:g}"], work, stdout=subprocess.PIPE)
        _, ready = wait_for_line(router, router.popen.stdout, "netsim listening on",
                                 time.monotonic() + 10)
        env = {"VEXLO_ROUTER": ready.split()[-1]}
        peers = write_peer_list(work, [1, 2])
        hashes = start_share(procs, args, work, data, peers, env)
        seconds, status, err = timed_get(args, work, hashes, out, peers, env)
        if status != 0 or not same_bytes(data, out):
            raise SwarmError(f"get into {out.name} ended with {status}: {err.strip()[-300:]}")
        kept = re.search(r"(\d+) were there already", err)
        return seconds, kept.group(1) if kept else "?"
    finally:
        stop_all(procs)


def resume_run(args, work, data):
    """A fresh get, then a get into a copy with half its chunks wrong, each from a new sharer: a
    sharer that has sent a chunk before holds a repeated GET for it back (the swarm's repeat
    delay), which would charge the second get for the first."""
    fresh, _ = get_through_router(args, work, data, work / "fresh.bin")
    spoil_odd_chunks(data, work / "half.bin")
    resumed, kept = get_through_router(args, work, data, work / "half.bin")
    return fresh, resumed, kept


def case_resume(args, data, run):
    fresh, resumed, kept = in_fresh_folder(args, lambda w: resume_run(args, w, data))
    print(f"  resume   run {run}: fresh {fresh:.2f} s   half-right copy {resumed:.2f} s "
          f"({kept} chunks kept)   ratio {resumed / fresh:.2f}", flush=True)
    return {"fresh": fresh, "resumed": resumed, "ratio": resumed / fresh}


def case_nosource(args, data, run):
    def one(work):
        peers = write_peer_list(work, [1, 2])
        (work / "data.chunks").write_text(subprocess.run(
            [str(args.bin / "hashlist"), str(data)], capture_output=True, text=True,
            check=True).stdout)
        return timed_get(args, work, work / "data.chunks", work / "copy.bin", peers,
                         extra=("--timeout", str(NOSOURCE_TIMEOUT_S)))
    seconds, status, _ = in_fresh_folder(args, one)
    print(f"  nosource run {run}: status {status} after {seconds:.2f} s", flush=True)
    return {"seconds": seconds, "nonzero": 1.0 if status != 0 else 0.0}


def in_fresh_folder(args, body):
    work = Path(tempfile.mkdtemp(prefix="run-", dir=args.dir))
    try:
        return body(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


# ---- main ----------------------------------------------------------------------------------

def medians(results):
    return {k: statistics.median(r[k] for r in results) for k in results[0]}


def summary(case, results):
    m = medians(results)
    if case == "direct":
        ratios = {p: statistics.median(r["tolvane"] / r[f"peer {p}"] for r in results)
                  for p in PEER_PROFILES}
        return (f"direct: medians " + "   ".join(f"{k} {v:.3f} s" for k, v in m.items()) +
                "; tolvane / peer per run, median: " +
                "   ".join(f"{p} {ratios[p]:.2f}" for p in PEER_PROFILES) + " (target <= 1.0)")
    if case == "resume":
        return (f"resume: medians fresh {m['fresh']:.2f} s, half-right copy {m['resumed']:.2f} s;"
                f" ratio per run, median {m['ratio']:.2f} (target < 0.7)")
    return (f"nosource: median {m['seconds']:.2f} s, non-zero in "
            f"{sum(r['nonzero'] for r in results):.0f} of {len(results)} runs (target < 10 s)")


def main(argv=None):
    args = parse_args(argv)
    raise_on_sigterm()
    runners = {"direct": case_direct, "resume": case_resume, "nosource": case_nosource}

    def measure():
        args.dir.mkdir(parents=True, exist_ok=True)
        data = ensure_data_file(args.dir, int(round(args.size * MIB)))
        print(f"tolvane benchmark: {args.size:g} MiB ({data}), {args.runs} runs per case",
              flush=True)
        lines = []
        for case in args.cases:
            results = [runners[case](args, data, run) for run in range(1, args.runs + 1)]
            lines.append(summary(case, results))
        return lines

    lines, status = run_guarded(measure)
    if status is not None:
        return status
    for line in lines:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
