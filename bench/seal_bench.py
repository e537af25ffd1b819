"""Sealing benchmark: one uploader to one downloader, the same build sealed (--key) and plain.

  direct    --size MiB (default 256) on 127.0.0.1 without loss: seconds, MB/s and the CPU seconds
            per GiB of both ends, sealed and plain in turn, --runs times; the median of each and
            the median of the per-run ratios sealed/plain. Target: MB/s at least 0.9 of plain.
  netsim    the same through netsim at --loss (default 0.01), seed 1.
  capture   every datagram on the loopback interface is read (an AF_PACKET socket, as root)
            while a file of --capture-size MiB whose chunks each hold the same 32-byte marker
            is copied, sealed and then plain: the marker must be absent from the sealed capture,
            and the plain one shows that the capture sees it where it is.
  stranger  while a sealed copy runs, a stranger's socket sends plain WHOHAS and GET, random
            bytes, a replay of a captured sealed GET (told by its length) from its own port and
            a captured DATA with one bit flipped, to both peers: it must get no datagram back,
            and the copy must end byte-exact, its time beside the plain run's.

    python3 -m bench.seal_bench [--size MIB] [--runs N] [--transport adaptive] [--loss P]
                                [--cases direct,netsim,capture,stranger] [--bin build/bin]
"""

import argparse
import os
import random
import select
import shutil
import socket
import statistics
import struct
import sys
import tempfile
import threading
import time
from pathlib import Path

from swarmlib import MB, MIB, SwarmError, add_folder_options, missing_programs, parse_list
from swarmlib.files import chunk_hashes, ensure_data_file, peer_ports, prepare_swarm
from swarmlib.packets import GET, WHOHAS, packet
from swarmlib.run import run_guarded, run_swarm

GIB = 1 << 30
CHUNK = 524288
HASHLIST_TIMEOUT_S = 300
ENVELOPE_OVERHEAD = 48     # clear header and tag of a sealed datagram
SEALED_GET_BYTES = 16 + 20 + ENVELOPE_OVERHEAD
SEALED_DATA_BYTES = 16 + 1400 + ENVELOPE_OVERHEAD
ETH_P_ALL = 0x0003
MARKER = b"tolvane capture marker 32 bytes!"
assert len(MARKER) == 32
CASES = ("direct", "netsim", "capture", "stranger")


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_folder_options(p, ["peer", "hashlist", "netsim"], data_dir=True)
    p.add_argument("--size", type=int, default=256, help="file size in MiB (default 256)")
    p.add_argument("--capture-size", type=int, default=16,
                   help="file size of the capture case in MiB (default 16)")
    p.add_argument("--runs", type=int, default=3, help="runs per layout (default 3)")
    p.add_argument("--transport", default="adaptive", choices=("classic", "adaptive"),
                   help="the peers' transport profile (default adaptive)")
    p.add_argument("--loss", type=float, default=0.01, help="netsim's loss (default 0.01)")
    p.add_argument("--cases", default=",".join(CASES), help="comma list of " + ", ".join(CASES))
    p.add_argument("--timeout", type=float, default=600.0,
                   help="longest wait for one run in seconds (default 600)")
    args = p.parse_args(argv)
    args.cases = parse_list(p, "--cases", args.cases, str, lambda c: c in CASES)
    if args.size < 1 or args.runs < 1 or args.capture_size < 1:
        p.error("--size, --capture-size and --runs must be positive")
    missing = missing_programs(args.bin, ["peer", "hashlist", "netsim"])
    if missing:
        p.error("; ".join(missing))
    return args


# ---- one run -----------------------------------------------------------------------------------

def write_key(work):
    """A fresh swarm key in work/swarm.key, mode 0600, as the peer reads it."""
    path = Path(work) / "swarm.key"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(os.urandom(32).hex() + "\n")
    return path


def one_run(args, data, hashes, sealed, netsim_options=None, on_started=None):
    """One swarm of one uploader holding everything; returns (seconds, MB/s, {end: CPU s/GiB},
    files, router counters or None) or raises SwarmError."""
    work = Path(tempfile.mkdtemp(prefix="seal-", dir=args.dir))
    try:
        files = prepare_swarm(work, data, hashes, 1, copies=1)
        peer_args = ["--transport", args.transport]
        if sealed:
            peer_args += ["--key", str(write_key(work))]
        started = (lambda router: on_started(files, router)) if on_started else None
        run = run_swarm(args.bin, files, args.timeout, netsim_options=netsim_options,
                        peer_args=peer_args, on_started=started)
        if not run.verified:
            raise SwarmError(run.download.reason or "the downloaded copy differs")
        gib = files.size / GIB
        cpu = {"downloader": run.downloader.cpu_seconds() / gib,
               "uploader": run.uploaders[0].cpu_seconds() / gib}
        return run.download.seconds, files.size / MB / run.download.seconds, cpu
    finally:
        shutil.rmtree(work, ignore_errors=True)


def result_text(result):
    seconds, rate, cpu = result
    ends = "  ".join(f"{name} {value:.2f}" for name, value in cpu.items())
    return f"{seconds:7.2f} s  {rate:7.1f} MB/s   CPU s/GiB: {ends}"


def median_result(results):
    return (statistics.median(r[0] for r in results), statistics.median(r[1] for r in results),
            {name: statistics.median(r[2][name] for r in results) for name in results[0][2]})


def compare(args, data, hashes, label, netsim_options=None):
    """Sealed and plain in turn, --runs times; the lines of the summary."""
    rounds = []
    for i in range(1, args.runs + 1):
        pair = {}
        for sealed in (True, False):
            name = "sealed" if sealed else "plain"
            try:
                pair[name] = one_run(args, data, hashes, sealed, netsim_options)
            except SwarmError as e:
                print(f"  {label} run {i}/{args.runs} {name:<6} FAILED: {e}", flush=True)
                continue
            print(f"  {label} run {i}/{args.runs} {name:<6} {result_text(pair[name])}",
                  flush=True)
        rounds.append(pair)
    lines = []
    for name in ("sealed", "plain"):
        got = [r[name] for r in rounds if name in r]
        if got:
            lines.append(f"{label} {name:<6} median of {len(got)}: "
                         f"{result_text(median_result(got))}")
    both = [r for r in rounds if len(r) == 2]
    if both:
        ratio = statistics.median(r["sealed"][1] / r["plain"][1] for r in both)
        cpu = {end: statistics.median(r["sealed"][2][end] / r["plain"][2][end] for r in both)
               for end in both[0]["sealed"][2]}
        lines.append(f"{label} sealed/plain, median of {len(both)} per-run ratios: MB/s "
                     f"{ratio:.2f} (target >= 0.90); CPU per GiB: "
                     + "  ".join(f"{end} {v:.2f}" for end, v in cpu.items()))
    return lines, len(both) == args.runs


# ---- capturing the loopback --------------------------------------------------------------------

class Capture:
    """Every frame on the loopback interface, read by a thread while a run goes on: the UDP
    payloads between the given ports are kept as (source port, destination port, payload) up to
    `keep` of them, and every payload is searched for MARKER."""

    def __init__(self, keep=0):
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 20)
        self.sock.bind(("lo", 0))
        self.ports = set()
        self.keep = keep
        self.kept = []
        self.datagrams = 0
        self.marker_hits = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        while not self.stop.is_set():
            ready, _, _ = select.select([self.sock], [], [], 0.1)
            if ready:
                self.take(self.sock.recv(65600))

    def take(self, frame):
        # Loopback frames carry a 14-byte Ethernet header; then IPv4 and UDP.
        if len(frame) < 14 + 20 + 8 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
            return
        ihl = (frame[14] & 0x0F) * 4
        src, dst = struct.unpack("!HH", frame[14 + ihl:14 + ihl + 4])
        if src not in self.ports and dst not in self.ports:
            return
        payload = frame[14 + ihl + 8:]
        self.datagrams += 1
        if MARKER in payload:
            self.marker_hits += 1
        if len(self.kept) < self.keep:
            self.kept.append((src, dst, payload))

    def close(self):
        self.stop.set()
        self.thread.join()
        # PACKET_STATISTICS: frames the socket dropped for want of room
        stats = self.sock.getsockopt(263, 6, 8)
        self.sock.close()
        return struct.unpack("II", stats)[1]


def marked_file(args):
    """A file of --capture-size MiB, random but for MARKER 100 bytes into every chunk (inside
    its first DATA packet)."""
    path = Path(args.dir) / f"marked-{args.capture_size}MiB.bin"
    if path.is_file() and path.stat().st_size == args.capture_size * MIB:
        return path
    with open(path, "wb") as out:
        for _ in range(args.capture_size * MIB // CHUNK):
            chunk = bytearray(os.urandom(CHUNK))
            chunk[100:132] = MARKER
            out.write(chunk)
    return path


def capture_case(args):
    data = marked_file(args)
    hashes = chunk_hashes(args.bin, data, HASHLIST_TIMEOUT_S)
    lines, ok = [], True
    for sealed in (True, False):
        cap = Capture()

        def watch(files, _router, cap=cap):
            cap.ports.update(peer_ports(files).values())
        one_run(args, data, hashes, sealed, on_started=watch)
        dropped = cap.close()
        name = "sealed" if sealed else "plain"
        lines.append(f"capture {name:<6}: {cap.datagrams} datagrams captured on lo "
                     f"({dropped} frames dropped by the capture), marker found in "
                     f"{cap.marker_hits} of them (the file holds it in {len(hashes)} chunks)")
        ok = ok and (cap.marker_hits == 0 if sealed else cap.marker_hits > 0)
    lines.append("capture: " + ("marker absent from the sealed traffic" if ok else "FAILED"))
    return lines, ok


# ---- the stranger ------------------------------------------------------------------------------

class Stranger:
    """A socket of its own on 127.0.0.1 that pesters both peers while a sealed run goes on, with
    what the capture has shown it of their traffic; it counts what comes back."""

    def __init__(self, cap, hashes):
        self.cap = cap
        self.hashes = [bytes.fromhex(h) for h in hashes]
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.setblocking(False)
        self.cap.ports.add(self.sock.getsockname()[1])
        self.sent = {"plain WHOHAS": 0, "plain GET": 0, "random bytes": 0,
                     "replayed sealed GET": 0, "bit-flipped sealed DATA": 0}
        self.back = 0
        self.stop = threading.Event()
        self.thread = None

    def start(self, files, _router):
        self.ports = peer_ports(files)
        self.cap.ports.update(self.ports.values())
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def captured(self, src, dst, length):
        for s, d, payload in self.cap.kept:
            if s == src and d == dst and len(payload) == length:
                return payload
        return None

    def junk(self, rng):
        down, up = self.ports[1], self.ports[2]
        h = rng.choice(self.hashes)
        out = [("plain WHOHAS", packet(WHOHAS, bytes([1, 10, 10, 10]) + h)),
               ("plain GET", packet(GET, h)),
               ("random bytes", os.urandom(rng.randrange(1, 1500)))]
        get = self.captured(down, up, SEALED_GET_BYTES)
        if get:
            out.append(("replayed sealed GET", get))
        data = self.captured(up, down, SEALED_DATA_BYTES)
        if data:
            flipped = bytearray(data)
            bit = rng.randrange(len(flipped) * 8)
            flipped[bit // 8] ^= 1 << (bit % 8)
            out.append(("bit-flipped sealed DATA", bytes(flipped)))
        return out

    def loop(self):
        rng = random.Random(26)
        while not self.stop.is_set():
            for kind, payload in self.junk(rng):
                for port in self.ports.values():
                    try:
                        self.sock.sendto(payload, ("127.0.0.1", port))
                        self.sent[kind] += 1
                    except BlockingIOError:
                        pass
            self.drain()
            time.sleep(0.002)

    def drain(self):
        while True:
            try:
                self.sock.recv(65536)
                self.back += 1
            except BlockingIOError:
                return

    def finish(self):
        self.stop.set()
        if self.thread:
            self.thread.join()
        time.sleep(0.5)
        self.drain()
        self.sock.close()


def stranger_case(args, data, hashes):
    cap = Capture(keep=400)
    stranger = Stranger(cap, hashes)
    try:
        seconds, rate, _cpu = one_run(args, data, hashes, True, on_started=stranger.start)
        ok_copy = True
    except SwarmError as e:
        seconds, rate, ok_copy = 0, 0, False
        print(f"  stranger run FAILED: {e}", flush=True)
    finally:
        stranger.finish()
        cap.close()
    clean = one_run(args, data, hashes, True)
    sent = ", ".join(f"{n} {k}" for k, n in stranger.sent.items())
    lines = [f"stranger: sent {sent}",
             f"stranger: {stranger.back} datagrams came back; the copy "
             + (f"ended byte-exact in {seconds:.2f} s ({rate:.1f} MB/s), a sealed run without "
                f"the stranger {clean[0]:.2f} s ({clean[1]:.1f} MB/s)" if ok_copy else "FAILED")]
    replayed = stranger.sent["replayed sealed GET"] > 0 and stranger.sent[
        "bit-flipped sealed DATA"] > 0
    if not replayed:
        lines.append("stranger: the capture showed it no sealed GET or DATA to replay")
    return lines, ok_copy and stranger.back == 0 and replayed


# ---- main --------------------------------------------------------------------------------------

def main(argv=None):
    args = parse_args(argv)
    Path(args.dir).mkdir(parents=True, exist_ok=True)
    needs_root = [c for c in args.cases if c in ("capture", "stranger")]
    if needs_root and os.geteuid() != 0:
        print(f"the {' and '.join(needs_root)} cases read the loopback with an AF_PACKET socket "
              "and need root", file=sys.stderr)
        return 2

    def measure():
        lines, ok = [], True
        data = hashes = None
        if any(c in args.cases for c in ("direct", "netsim", "stranger")):
            data = ensure_data_file(args.dir, args.size * MIB)
            hashes = chunk_hashes(args.bin, data, HASHLIST_TIMEOUT_S)
        print(f"sealing benchmark: {args.size} MiB ({data}), 1 uploader, {args.transport}, "
              f"{args.runs} runs of each", flush=True)
        for case in args.cases:
            if case == "direct":
                more, good = compare(args, data, hashes, "direct")
            elif case == "netsim":
                more, good = compare(args, data, hashes, f"netsim {args.loss:g} loss",
                                     ["--loss", str(args.loss), "--seed", "1"])
            elif case == "capture":
                more, good = capture_case(args)
            else:
                more, good = stranger_case(args, data, hashes)
            for line in more:
                print("  " + line, flush=True)
            lines += more
            ok = ok and good
        return lines, ok

    result, status = run_guarded(measure)
    if status is not None:
        return status
    lines, ok = result
    print("summary")
    for line in lines:
        print("  " + line)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
