"""Membership benchmark: one open member (the sharer) and N getters that know only it, started
at random times over a few seconds on 127.0.0.1, all with `peer --open`.

Prints, for every getter, how many of the members alive 3 s after its start it knew by then (the
sharer, its entry point, and every other getter it admitted: "member N joins" under -d 2), and
at the end the smallest share, against the 90% aimed at. No transfer runs: this measures the
peer exchange alone.

    python3 -m bench.membership_bench [--getters 16] [--spread 10] [--window 3] [--seed 1]
                                      [--bin build/bin]
"""

import argparse
import random
import re
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

JOINS = re.compile(r"^member -?\d+ joins from (\S+)")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def follow(proc, start, seen):
    """Notes the time, from `start`, at which each address first joined."""
    for raw in proc.stderr:
        m = JOINS.match(raw.decode(errors="replace"))
        if m and m.group(1) not in seen:
            seen[m.group(1)] = time.monotonic() - start


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--getters", type=int, default=16)
    p.add_argument("--spread", type=float, default=10.0, help="seconds the starts spread over")
    p.add_argument("--window", type=float, default=3.0, help="seconds a getter is given")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--bin", default="build/bin")
    a = p.parse_args()
    peer = str(Path(a.bin).resolve() / "peer")
    rng = random.Random(a.seed)
    starts = sorted(rng.uniform(0, a.spread) for _ in range(a.getters))
    with tempfile.TemporaryDirectory() as d:
        (Path(d) / "none.chunks").write_text("")
        (Path(d) / "master.chunks").write_text("File: /dev/null\nChunks:\n")
        base = [peer, "--open", "-c", "none.chunks", "-f", "master.chunks", "-d", "2"]
        port = free_port()
        procs = [subprocess.Popen(base + ["--port", str(port)], cwd=d, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
        t0 = time.monotonic()
        getters = []
        try:
            for s in starts:
                time.sleep(max(0.0, t0 + s - time.monotonic()))
                seen = {}
                g = subprocess.Popen(base + ["--port", "0", "--entry", "127.0.0.1:%d" % port],
                                     cwd=d, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
                started = time.monotonic()
                threading.Thread(target=follow, args=(g, started, seen), daemon=True).start()
                procs.append(g)
                getters.append((started - t0, seen))
            time.sleep(a.window + 0.5)
        finally:
            for pr in procs:
                pr.terminate()
            for pr in procs:
                pr.wait(timeout=5)
    worst = 1.0
    for i, (start, seen) in enumerate(getters):
        live = 1 + sum(1 for j, (s, _) in enumerate(getters) if j != i and s <= start + a.window)
        known = 1 + sum(1 for t in seen.values() if t <= a.window)
        share = known / live
        worst = min(worst, share)
        print("getter %2d started at %5.2f s: knew %2d of %2d live members after %.0f s (%3.0f%%)"
              % (i + 1, start, known, live, a.window, 100 * share))
    print("smallest share: %.0f%% (aim: 90%%)" % (100 * worst))


if __name__ == "__main__":
    main()
