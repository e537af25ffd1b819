"""How a swarm scales: one seed and N downloaders typing the same GET at once, every peer behind
an access link of netsim's (an uplink and a downlink each), in the design mode and with --swarm,
in each transport profile. Prints each run's downloader times, the last one, the bytes the seed
and the downloaders sent, and the fluid-model bound T_min beside them; optionally draws the last
downloader's time against N.

    python3 -m bench.swarm_scale [--ns 1,2,4,8,16,32] [--modes design,swarm]
                                 [--transport classic,adaptive] [--size 16] [--up 2000]
                                 [--down 8000] [--slow-half KB/S] [--leave] [--kernel]
                                 [--timeout 600] [--plot PNG] [--bin build/bin]
                                 [--dir /tmp/p2p-bench]

With --kernel the swarm runs on a kernel testbed instead of netsim (swarmlib/testbed.py: a
network namespace per peer on one bridge, every access link a tc tbf queue; root only), so that
large swarms measure the peers, not the simulator; each run also prints the seed's bytes sent
over the file size, the datagrams the uplink queues dropped, the retransmissions and hash
failures the peers reported, and the CPU time of all peers.

T_min = max(F/u_seed, F/d_min, N*F/(u_seed + sum of u_i)): the seed must send every byte once,
the slowest downlink must take the file, and all N copies must leave some uplink."""

import argparse
import re
import statistics
import sys
import time
from pathlib import Path

from swarmlib import MIB, SwarmError, add_folder_options, missing_programs, parse_list
from swarmlib import testbed
from swarmlib.files import chunk_hashes, ensure_data_file, free_udp_ports, write_hash_file
from swarmlib.processes import (exit_note, reap_if_exited, start, stop_all, stop_process,
                                 tail_of, wait_until_bound)
from swarmlib.router import netsim_counters, start_netsim

SEED_ID = 1
NODE_UP = re.compile(r"^node 127\.0\.0\.1:(\d+) up .*\bbytes=(\d+)")
RESULT = re.compile(r"^N=(\d+)\s+(\w+)\s+(\w+)\s+done (\d+)/\d+.*?last\s+([\d.na]+) s.*T_min\s+([\d.]+) s")


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python3 -m bench.swarm_scale", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--ns", default="1,2,4,8,16,32", help="comma list of downloader counts")
    p.add_argument("--modes", default="design,swarm",
                   help="comma list of design (the peers as designed) and swarm (--swarm)")
    p.add_argument("--transport", default="classic,adaptive", help="comma list of profiles")
    p.add_argument("--size", type=int, default=16, help="file size in MiB (default 16)")
    p.add_argument("--up", type=float, default=2000, help="every peer's uplink, KB/s")
    p.add_argument("--down", type=float, default=8000, help="every peer's downlink, KB/s")
    p.add_argument("--slow-half", type=float, default=0, metavar="KB/S",
                   help="the uplink of every second downloader, KB/s (0: all at --up)")
    p.add_argument("--leave", action="store_true",
                   help="stop every downloader as soon as its copy is complete")
    p.add_argument("--kernel", action="store_true",
                   help="run on a kernel testbed of network namespaces and tc tbf links")
    p.add_argument("--slots", type=int, default=0, help="--upload-slots of --swarm peers (0: "
                   "the peer's default)")
    p.add_argument("--timeout", type=float, default=600, help="longest wait for one run, s")
    p.add_argument("--debug", type=int, default=0, help="-d of every peer (their standard error "
                   "is kept in peer<id>.err of the run's folder)")
    p.add_argument("--plot", type=Path, default=None, help="draw last-downloader times into PNG")
    p.add_argument("--from-output", type=Path, action="append", default=[], metavar="FILE",
                   help="run nothing: take the results from this benchmark's printed output "
                        "(repeatable), for --plot")
    add_folder_options(p, ["peer", "netsim", "hashlist"], data_dir=True)
    args = p.parse_args(argv)
    args.ns = parse_list(p, "--ns", args.ns, int, lambda n: 1 <= n <= 64)
    args.modes = parse_list(p, "--modes", args.modes, str, lambda m: m in ("design", "swarm"))
    args.transport = parse_list(p, "--transport", args.transport, str,
                                lambda t: t in ("classic", "adaptive"))
    if args.size < 1 or args.up <= 0 or args.down <= 0 or args.timeout <= 0:
        p.error("--size, --up, --down and --timeout must be positive")
    if args.slow_half < 0:
        p.error("--slow-half must not be negative")
    return args


def uplinks(args, n):
    """KB/s of the seed's uplink and then of each of the n downloaders'."""
    return [args.up] + [args.slow_half if args.slow_half and i % 2 else args.up
                        for i in range(n)]


def t_min(size, ups, down):
    """The fluid-model bound in seconds: ups[0] is the seed's uplink, the rest the downloaders',
    every downlink `down` KB/s."""
    n = len(ups) - 1
    return max(size / (ups[0] * 1e3), size / (down * 1e3), n * size / (sum(ups) * 1e3))


def write_swarm(work, data, hashes, n, addrs=None):
    """The master chunk file, hash files and peer list of a seed (id 1) and n downloaders, on
    127.0.0.1 or on the given addresses (one per peer, the seed's first)."""
    work.mkdir(parents=True, exist_ok=True)
    lines = "".join(f"{i} {h}\n" for i, h in enumerate(hashes))
    (work / "master.chunks").write_text(f"File: {data}\nChunks:\n" + lines)
    (work / "get.chunks").write_text(lines)
    write_hash_file(work / "seed.chunks", hashes, range(len(hashes)))
    write_hash_file(work / "none.chunks", hashes, [])
    ports = free_udp_ports(n + 1)
    hosts = addrs or ["127.0.0.1"] * (n + 1)
    (work / "nodes.map").write_text("".join(f"{i + 1} {hosts[i]} {p}\n"
                                            for i, p in enumerate(ports)))
    return {i + 1: p for i, p in enumerate(ports)}


def peer_cmd(args, work, peer_id, has, extra):
    return [Path(args.bin).resolve() / "peer", "-p", work / "nodes.map", "-c", work / has,
            "-f", work / "master.chunks", "-i", peer_id, *extra]


def got_file(out_path):
    try:
        return b"GOT " in out_path.read_bytes()
    except OSError:
        return False


def peer_options(args, mode, transport):
    extra = ["--transport", transport] + (["-d", str(args.debug)] if args.debug else [])
    if args.kernel:
        extra.append("--progress")  # its summary reports retransmissions and hash failures
    if mode == "swarm":
        extra.append("--swarm")
        if args.slots:
            extra += ["--upload-slots", str(args.slots)]
    return extra


def start_peers(procs, args, work, n, extra, env=None, wrap=None, binds=None):
    """The seed (id 1) and n downloaders; wrap(i) and binds[i] place peer i+1 on a host."""
    peers = []
    for i in range(n + 1):
        pid = i + 1
        more = ["--bind", binds[i]] if binds else []
        argv = (wrap(i) if wrap else []) + peer_cmd(
            args, work, pid, "seed.chunks" if pid == SEED_ID else "none.chunks", extra + more)
        peers.append(start(procs, "seed" if pid == SEED_ID else f"peer {pid}", argv, work, env,
                           stdout=work / f"peer{pid}.out", stderr=work / f"peer{pid}.err"))
    return peers


def await_copies(args, work, peers, n, deadline):
    """Types the GET into every downloader at once; their times (s) from then, by id. With
    --leave a downloader is stopped as soon as its copy is complete."""
    began = time.monotonic()
    for i, proc in enumerate(peers[1:], start=2):
        proc.popen.stdin.write(f"GET get.chunks out{i}.bin\n".encode())
        proc.popen.stdin.flush()
    times = {}
    while len(times) < n and time.monotonic() < deadline:
        for i in range(2, n + 2):
            if i not in times and got_file(work / f"peer{i}.out"):
                times[i] = time.monotonic() - began
                if args.leave:
                    stop_process(peers[i - 1])
        time.sleep(0.05)
    return times


def finish_row(args, data, work, peers, times, sent, n):
    want = data.read_bytes()
    verified = all((work / f"out{i}.bin").is_file() and (work / f"out{i}.bin").read_bytes() == want
                   for i in times)
    rss = [p.peak_rss_kib for p in peers if p.peak_rss_kib]
    row = {"times": times, "sent": sent, "verified": verified,
           "peak_rss_mib": max(rss) / 1024 if rss else float("nan")}
    if args.kernel:
        row.update(peer_reports(work, n))
        row["cpu_s"] = sum(p.cpu_seconds() for p in peers if p.rusage)
    return row


SUMMARY = re.compile(r"hash failures: (\d+); retransmissions: (\d+)")


def peer_reports(work, n):
    """Retransmissions and hash failures the downloaders' summaries report, summed."""
    resent = failures = 0
    for i in range(2, n + 2):
        try:
            text = (work / f"peer{i}.err").read_text(errors="replace")
        except OSError:
            continue
        for m in SUMMARY.finditer(text):
            failures += int(m.group(1))
            resent += int(m.group(2))
    return {"retransmissions": resent, "hash_failures": failures}


def run_once(args, data, hashes, n, mode, transport):
    """One swarm; returns a dict of times (s), bytes sent per peer id, and whether every copy
    equals the data."""
    if args.kernel:
        return run_on_testbed(args, data, hashes, n, mode, transport)
    work = Path(args.dir).resolve() / f"scale-{n}-{mode}-{transport}"
    for old in work.glob("out*.bin"):
        old.unlink()
    ports = write_swarm(work, data, hashes, n)
    procs = []
    deadline = time.monotonic() + args.timeout
    ups = uplinks(args, n)
    try:
        router = start_netsim(procs, args.bin, work,
                              ["--seed", "1", "--node", f"* up={args.up:g} down={args.down:g}"] +
                              [o for i in range(n + 1) if ups[i] != args.up for o in
                               ("--node", f"127.0.0.1:{ports[i + 1]} up={ups[i]:g}")],
                              time.monotonic() + 10)
        env = {"VEXLO_ROUTER": f"127.0.0.1:{router.port}"}
        peers = start_peers(procs, args, work, n, peer_options(args, mode, transport), env)
        wait_until_bound(peers, ports.values(), time.monotonic() + 10)
        times = await_copies(args, work, peers, n, deadline)
    finally:
        stop_all(procs)
    sent = {}
    by_port = {p: i for i, p in ports.items()}
    for line in netsim_counters(router):
        m = NODE_UP.match(line)
        if m and int(m.group(1)) in by_port:
            sent[by_port[int(m.group(1))]] = int(m.group(2))
    return finish_row(args, data, work, peers, times, sent, n)


def wait_until_bound_in_hosts(peers, ports, deadline):
    """wait_until_bound for peers in namespaces of their own: each port in its peer's."""
    while True:
        for proc in peers:
            if reap_if_exited(proc):
                raise SwarmError(f"{exit_note(proc)} at start-up: {tail_of(proc.log)}")
        if all(port in (testbed.bound_in(proc.pid) or ()) for proc, port in zip(peers, ports)):
            return
        if time.monotonic() >= deadline:
            raise SwarmError("the peers did not bind their ports in time")
        time.sleep(0.02)


def run_on_testbed(args, data, hashes, n, mode, transport):
    """run_once on a kernel testbed: host i holds peer i+1, the seed on host 0."""
    work = Path(args.dir).resolve() / f"kernel-{n}-{mode}-{transport}"
    for old in work.glob("out*.bin"):
        old.unlink()
    tb = testbed.make(n + 1, uplinks(args, n), [args.down] * (n + 1))
    procs = []
    try:
        ports = write_swarm(work, data, hashes, n, tb.addrs)
        peers = start_peers(procs, args, work, n, peer_options(args, mode, transport),
                            wrap=lambda i: testbed.inside(tb, i), binds=tb.addrs)
        wait_until_bound_in_hosts(peers, [ports[i + 1] for i in range(n + 1)],
                                  time.monotonic() + 10)
        times = await_copies(args, work, peers, n, time.monotonic() + args.timeout)
        sent = {i + 1: testbed.sent_bytes(tb, i) for i in range(n + 1)}
        drops = [testbed.queue_drops(tb, i) for i in range(n + 1)]
    finally:
        stop_all(procs)
        testbed.remove(tb)
    row = finish_row(args, data, work, peers, times, sent, n)
    row["uplink_drops"] = sum(up for up, _ in drops)
    row["downlink_drops"] = sum(down for _, down in drops)
    return row


def report(row, n, mode, transport, size, bound):
    times = sorted(row["times"].values())
    seed = row["sent"].get(SEED_ID, 0)
    others = sum(b for i, b in row["sent"].items() if i != SEED_ID)
    last = times[-1] if len(times) == n else float("nan")
    share = others / (seed + others) if seed + others else 0.0
    print(f"N={n:<3} {mode:<6} {transport:<8} done {len(times)}/{n}"
          f"{'' if row['verified'] else ' (COPY DIFFERS)'}  last {last:7.2f} s  "
          f"median {statistics.median(times) if times else float('nan'):7.2f} s  "
          f"T_min {bound:5.2f} s  last/T_min {last / bound:5.2f}  "
          f"sent: seed {seed / 1e6:6.1f} MB, downloaders {others / 1e6:6.1f} MB "
          f"({100 * share:3.0f}%), peak RSS of a peer {row['peak_rss_mib']:.1f} MiB", flush=True)
    print("      times: " + " ".join(f"{t:.1f}" for t in times), flush=True)
    if "uplink_drops" in row:
        print(f"      seed sent {seed / size:.2f} x the file; uplink queue drops "
              f"{row['uplink_drops']}, downlink {row['downlink_drops']}; retransmissions {row['retransmissions']}; hash failures "
              f"{row['hash_failures']}; CPU of all peers {row['cpu_s']:.1f} s", flush=True)
    return last


def plot(path, results, bounds, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for key, points in sorted(results.items()):
        xs = [n for n, _ in points]
        ax.plot(xs, [t for _, t in points], marker="o", label=" ".join(key))
    ns = sorted(bounds)
    ax.plot(ns, [bounds[n] for n in ns], "k--", label="T_min (fluid bound)")
    ax.plot(ns, [1.5 * bounds[n] for n in ns], "k:", label="1.5 x T_min")
    ax.set_xscale("log", base=2)
    ax.set_xlabel("downloaders N (one seed)")
    ax.set_ylabel("last downloader done, s")
    ax.set_title(title)
    ax.legend(fontsize=8)
    ax.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def plot_title(args):
    links = "kernel tbf links" if args.kernel else "netsim node links"
    slow = f", every second downloader {args.slow_half:g} up" if args.slow_half else ""
    return (f"{args.size} MiB, every peer {args.up:g} KB/s up{slow}, {args.down:g} KB/s down "
            f"({links})")


def read_outputs(paths):
    """The (mode, transport) -> [(N, last)] results and N -> T_min of printed outputs."""
    results, bounds = {}, {}
    for path in paths:
        for line in path.read_text().splitlines():
            m = RESULT.match(line)
            if m:
                n = int(m.group(1))
                results.setdefault((m.group(2), m.group(3)), []).append((n, float(m.group(5))))
                bounds[n] = float(m.group(6))
    return results, bounds


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.from_output:
        results, bounds = read_outputs(args.from_output)
        if args.plot:
            plot(args.plot, results, bounds, plot_title(args))
            print(f"plot: {args.plot}")
        return
    missing = missing_programs(args.bin, ["peer", "netsim", "hashlist"])
    if missing:
        sys.exit("\n".join(missing))
    if args.kernel and testbed.unavailable():
        print(f"swarm_scale --kernel skipped: {testbed.unavailable()}")
        return
    try:
        data = ensure_data_file(args.dir, args.size * MIB)
        hashes = chunk_hashes(args.bin, data, 60)
        size = data.stat().st_size
        results, bounds = {}, {}
        for n in args.ns:
            bounds[n] = t_min(size, uplinks(args, n), args.down)
            for mode in args.modes:
                for transport in args.transport:
                    row = run_once(args, data, hashes, n, mode, transport)
                    last = report(row, n, mode, transport, size, bounds[n])
                    results.setdefault((mode, transport), []).append((n, last))
        if args.plot:
            plot(args.plot, results, bounds, plot_title(args))
            print(f"plot: {args.plot}")
    except SwarmError as e:
        sys.exit(f"swarm_scale: {e}")
    except KeyboardInterrupt:
        sys.exit(130)


if __name__ == "__main__":
    main()
