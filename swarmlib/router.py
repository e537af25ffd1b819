"""netsim as part of a swarm: starting it on a port of its choosing and reading its counters."""

import dataclasses
import re
import time
from pathlib import Path

from swarmlib import SwarmError
from swarmlib.processes import Proc, exit_note, reap_if_exited, start, tail_of

LISTENING = re.compile(r"^netsim listening on 127\.0\.0\.1:(\d+)$", re.MULTILINE)


@dataclasses.dataclass
class Router:
    """A running netsim and where it listens."""
    proc: Proc
    port: int
    seed: str                 # as netsim reported it on standard error
    out: Path                 # its standard output: the listening line, later its counters


def start_netsim(procs, bin_dir, work, options, deadline):
    """Starts netsim on a port of its choosing with `options` (a list of its arguments) and
    waits, until `deadline`, for the line that says where it listens."""
    out = work / "netsim.out"
    log = work / "netsim.err"
    program = Path(bin_dir).resolve() / "netsim"
    proc = start(procs, "netsim", [program, "--port", "0", *options], cwd=work, stdout=out,
                 stderr=log)
    while True:
        match = LISTENING.search(out.read_text(errors="replace"))
        if match:
            seed = log.read_text(errors="replace").strip().rpartition(" ")[2]
            return Router(proc=proc, port=int(match.group(1)), seed=seed, out=out)
        if reap_if_exited(proc):
            raise SwarmError(f"{exit_note(proc)}: {tail_of(log)}")
        if time.monotonic() >= deadline:
            raise SwarmError("netsim did not report its port in time")
        time.sleep(0.02)


def netsim_counters(router):
    """The counter lines netsim printed when it was stopped (empty if it printed none)."""
    lines = router.out.read_text(errors="replace").splitlines()
    start_at = next((i for i, line in enumerate(lines) if line.startswith("netsim counters at")),
                    len(lines))
    return [line for line in lines[start_at:] if line != "netsim counters end"]

