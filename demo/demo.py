"""Runs a real swarm transfer on generated data: `make demo` (DEMO_ARGS="..." for options).

Several uploading peers each hold an overlapping part of a random file (or of the file given
with --file), so every chunk is held by two of them; one more peer holds nothing and downloads the whole file. The downloaded copy is
compared with the original byte for byte. With --loss, --delay, --seed, --up or --down every
datagram goes through netsim. Exits 0 only when the copy is verified.
"""

import argparse
import shutil
import sys
import tempfile
from pathlib import Path

from swarmlib import (DEMO_COPIES, DOWNLOADER_ID, MB, MIB, SwarmError, add_folder_options,
                      missing_programs)
from swarmlib.files import chunk_hashes, peer_ports, prepare_swarm, write_random_file
from swarmlib.processes import raise_on_sigterm
from swarmlib.progress import Progress
from swarmlib.router import (access_rates, add_access_options, netsim_counters, node_options,
                             swarm_access_links)
from swarmlib.run import run_swarm

HASHLIST_TIMEOUT_S = 120
DEFAULT_SIZE_MIB = 64.0


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_folder_options(p, ["peer", "hashlist", "netsim"])
    p.add_argument("--size", type=float,
                   help="size of the generated file in MiB, fractions allowed (default 64)")
    p.add_argument("--file", type=Path,
                   help="transfer this file instead of generated data (left as it is)")
    p.add_argument("--peers", type=int, default=4, help="uploading peers (default 4)")
    p.add_argument("--timeout", type=float, default=300.0,
                   help="longest wait in seconds for the swarm to deliver the file (default 300)")
    p.add_argument("--work", type=Path, help="work folder to use and keep (default: temporary)")
    p.add_argument("--keep", action="store_true", help="keep the temporary work folder")
    p.add_argument("--transport", choices=("classic", "adaptive"), default="classic",
                   help="transport profile of every peer (default classic)")
    p.add_argument("--loss", type=float, help="netsim: drop probability per datagram, 0..1")
    p.add_argument("--delay", type=float, help="netsim: one-way delay in ms")
    p.add_argument("--seed", type=int, help="netsim: seed of its random choices")
    add_access_options(p)
    args = p.parse_args(argv)
    problems = check_args(args)
    if problems:
        p.error("; ".join(problems))
    args.up_rates = access_rates(p, "--up", args.up, args.peers + 1)
    args.down_rates = access_rates(p, "--down", args.down, args.peers + 1)
    return args


def check_args(args):
    """Messages for option values that cannot make a run."""
    problems = []
    if args.file is not None:
        if args.size is not None:
            problems.append("--size and --file exclude each other")
        if not args.file.is_file():
            problems.append(f"--file {args.file} is not a file")
        elif args.file.stat().st_size == 0:
            problems.append(f"--file {args.file} is empty")
    elif args.size is None:
        args.size = DEFAULT_SIZE_MIB
    if args.size is not None and not args.size * MIB >= 1:
        problems.append("--size must be positive")
    if not 1 <= args.peers <= 64:
        problems.append("--peers must be between 1 and 64")
    if not args.timeout > 0:
        problems.append("--timeout must be positive")
    if args.loss is not None and not 0 <= args.loss <= 1:
        problems.append("--loss must be between 0 and 1")
    if args.delay is not None and not args.delay >= 0:
        problems.append("--delay must not be negative")
    needed = ["peer", "hashlist"] + (["netsim"] if uses_netsim(args) else [])
    return problems + missing_programs(args.bin, needed)


def uses_netsim(args):
    return any(v is not None for v in (args.loss, args.delay, args.seed, args.up, args.down))


def netsim_options(args, files):
    """netsim's arguments for the chosen impairments and access links of the swarm's peers, or
    None to let the peers talk directly."""
    if not uses_netsim(args):
        return None
    options = []
    for flag, value in (("--loss", args.loss), ("--delay", args.delay), ("--seed", args.seed)):
        if value is not None:
            options += [flag, str(value)]
    links = swarm_access_links(peer_ports(files), args.up_rates, args.down_rates)
    return options + node_options(links)


def rates_text(rates):
    """One rate for all peers, or the list in id order; "unlimited" for none."""
    if rates[0] is None:
        return "unlimited"
    if len(set(rates)) == 1:
        return f"{rates[0]:g} KB/s"
    return ",".join(f"{r:g}" for r in rates) + " KB/s"


# ==== output =====================================================================================

def print_setup(args, files, work_note):
    copies = min(DEMO_COPIES, args.peers)
    ids = files.uploader_ids
    what = files.data if args.file else "random data"
    print("p2p swarm demo")
    print(f"  file      {files.size / MIB:g} MiB of {what}, {files.chunks} chunks of 512 KiB")
    print(f"  peers     {len(ids)} uploading (ids {ids[0]}..{ids[-1]}, every chunk held by "
          f"{copies}), 1 downloading (id {DOWNLOADER_ID}, holds nothing)")
    print(f"  work      {files.work}{work_note}")


def print_network(args, router):
    if router is None:
        print("  network   direct, 127.0.0.1")
    else:
        parts = [f"loss {args.loss:g}" if args.loss is not None else "no loss",
                 f"delay {args.delay:g} ms each way" if args.delay is not None else "no delay",
                 f"seed {router.seed}"]
        if args.up is not None or args.down is not None:
            parts.append(f"each peer's uplink {rates_text(args.up_rates)}, downlink "
                         f"{rates_text(args.down_rates)}")
        print(f"  network   netsim on 127.0.0.1:{router.port}: " + ", ".join(parts))
    print("transferring", flush=True)


def print_summary(files, run):
    d = run.download
    print("summary")
    print(f"  bytes     {files.size} ({files.size / MIB:g} MiB)")
    print(f"  seconds   {d.seconds:.2f}")
    rate = files.size / MB / d.seconds if d.done and d.seconds > 0 else 0.0
    print(f"  MB/s      {rate:.1f}" if d.done else "  MB/s      -")
    print(f"  chunks    {d.chunks} of {files.chunks} verified by the downloader"
          + (f", {d.hash_failures} failed their hash check" if d.hash_failures else "")
          + (f", {d.gave_up} stalled uploads given up" if d.gave_up else ""))
    if not d.done:
        print(f"  stopped   {d.reason}")
    print(f"  verified  {'yes' if run.verified else 'no'}")


def describe_link(line, names):
    """A netsim link line with peer names for addresses and only its non-zero counters."""
    words = line.split()
    src, _, dst = words[1].partition("->")
    counts = [w for w in words[2:] if not w.endswith("=0")]
    return f"    {names.get(src, src)} -> {names.get(dst, dst)}: {' '.join(counts)}"


def describe_node(line, names):
    """A netsim node line with the peer's name for its address."""
    words = line.split()
    return f"    {names.get(words[1], words[1])} {words[2]}link: {' '.join(words[3:])}"


def print_netsim_counters(files, router):
    lines = netsim_counters(router)
    if not lines:
        print("netsim printed no counters")
        return
    names = {f"127.0.0.1:{port}": f"peer {i}" for i, port in peer_ports(files).items()}
    print("netsim counters (non-zero)")
    for line in lines:
        if line.startswith("link "):
            print(describe_link(line, names))
        elif line.startswith("node "):
            print(describe_node(line, names))
        else:
            print("  " + line)


# ==== the run ====================================================================================

def run_demo(args, work, work_note):
    """Generates the data, runs the swarm once and reports it; True when the copy is verified."""
    if args.file is not None:
        data = args.file.resolve()
    else:
        data = work / "data.bin"
        write_random_file(data, int(round(args.size * MIB)))
    hashes = chunk_hashes(args.bin, data, HASHLIST_TIMEOUT_S)
    files = prepare_swarm(work, data, hashes, args.peers, DEMO_COPIES)
    print_setup(args, files, work_note)
    progress = Progress(files)
    try:
        run = run_swarm(args.bin, files, args.timeout, netsim_options(args, files),
                        on_started=lambda router: print_network(args, router),
                        on_progress=progress.update,
                        peer_args=["--transport", args.transport])
    finally:
        progress.finish()
    print_summary(files, run)
    if run.router is not None:
        print_netsim_counters(files, run.router)
    return run.verified


def main(argv=None):
    args = parse_args(argv)
    raise_on_sigterm()
    temporary = args.work is None
    work = Path(tempfile.mkdtemp(prefix="p2p-demo-")) if temporary else args.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    # A temporary folder goes when the demo succeeds or is interrupted; after a failure it
    # stays, since the peers' logs in it are what explains the failure.
    ok = False
    interrupted = False
    try:
        ok = run_demo(args, work, " (temporary)" if temporary and not args.keep else "")
    except SwarmError as e:
        print(f"demo failed: {e}", file=sys.stderr)
    except KeyboardInterrupt:
        interrupted = True
        print("\ninterrupted; every process was stopped", file=sys.stderr)
    finally:
        if temporary and (ok or interrupted) and not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"work folder kept: {work}")
    return 0 if ok else 130 if interrupted else 1


if __name__ == "__main__":
    sys.exit(main())
