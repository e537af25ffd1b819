"""Starting, watching and stopping the programs of a swarm, peers among them. Every process is
stopped by its pid, and reaped so that its resource usage can be read."""

import contextlib
import dataclasses
import os
import signal
import subprocess
import time
from pathlib import Path

from swarmlib import SwarmError

STOP_GRACE_S = 3.0


@dataclasses.dataclass
class Proc:
    """A started program. `status` and `rusage` are filled in once it has been reaped."""
    name: str
    popen: subprocess.Popen
    out: Path = None          # file of its standard output, if kept
    log: Path = None          # file of its standard error, if kept
    status: int = None        # exit status, or -signal number
    rusage: object = None     # resource.struct_rusage from os.wait4
    peak_rss_kib: int = None  # peak resident set size, read just before it was stopped

    @property
    def pid(self):
        return self.popen.pid

    def cpu_seconds(self):
        """User plus system CPU time; known once the process has been reaped."""
        return self.rusage.ru_utime + self.rusage.ru_stime


def _record_exit(proc, status, rusage):
    proc.status = os.waitstatus_to_exitcode(status)
    proc.rusage = rusage
    # The process is reaped here so its rusage is ours; tell Popen, which must not wait again.
    proc.popen.returncode = proc.status


def reap_if_exited(proc):
    """True when `proc` has ended (reaping it, with its resource usage, if it just did)."""
    if proc.status is not None:
        return True
    pid, status, rusage = os.wait4(proc.pid, os.WNOHANG)
    if pid == 0:
        return False
    _record_exit(proc, status, rusage)
    return True


def _wait_until(proc, deadline):
    while not reap_if_exited(proc):
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)
    return True


def peak_rss_kib(pid):
    """The peak resident set size of a running process in KiB (VmHWM of /proc/<pid>/status), or
    None where that cannot be read. The rusage of a reaped child is no substitute: its ru_maxrss
    also counts the memory of the process it was forked from, before its exec."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return None


def stop_process(proc, grace=STOP_GRACE_S):
    """Stops `proc` by its pid: SIGTERM, then SIGKILL if it outlives `grace` seconds. Its peak
    memory is read first, while it still runs.

    Returns True when the process has been reaped. Its pipes are closed either way."""
    if proc.status is None:
        proc.peak_rss_kib = peak_rss_kib(proc.pid)
    try:
        for sig in (signal.SIGTERM, signal.SIGKILL):
            if reap_if_exited(proc):
                break
            try:
                os.kill(proc.pid, sig)
            except ProcessLookupError:
                pass
            if _wait_until(proc, time.monotonic() + grace):
                break
        return proc.status is not None
    finally:
        for pipe in (proc.popen.stdin, proc.popen.stdout, proc.popen.stderr):
            if pipe is not None:
                try:
                    pipe.close()
                except OSError:
                    pass  # a reader that is gone leaves a broken pipe; nothing more to do


def stop_all(procs):
    """Stops every process of `procs`, the last started first, with Ctrl-C held back meanwhile
    so that an impatient second Ctrl-C cannot leave processes behind."""
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        lost = [p.name for p in reversed(procs) if not stop_process(p)]
    finally:
        signal.signal(signal.SIGINT, previous)
    if lost:
        raise SwarmError("could not stop: " + ", ".join(lost))


def raise_on_sigterm():
    """Makes SIGTERM raise KeyboardInterrupt, as Ctrl-C does, so the same `finally` blocks and
    handlers stop the swarm and clean up."""
    def handler(_signum, _frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, handler)


def start(procs, name, argv, cwd, env=None, stdout=None, stderr=None):
    """Starts `argv` and appends it to `procs` at once, so a later failure still stops it.

    `stdout` and `stderr` are each a Path (a file written from the start), subprocess.PIPE, or
    None (discarded). Standard input is a pipe that stays open until the process is stopped: a
    peer whose input is /dev/null keeps finding it readable and never rests in its wait."""
    full_env = dict(os.environ)
    full_env.pop("VEXLO_ROUTER", None)
    full_env.update(env or {})
    with contextlib.ExitStack() as opened:
        def target(where):
            if isinstance(where, Path):
                return opened.enter_context(open(where, "wb"))
            return subprocess.DEVNULL if where is None else where
        try:
            popen = subprocess.Popen([str(a) for a in argv], cwd=cwd, env=full_env,
                                     stdin=subprocess.PIPE, stdout=target(stdout),
                                     stderr=target(stderr))
        except OSError as e:
            raise SwarmError(f"cannot start {argv[0]}: {e.strerror}") from e
    proc = Proc(name=name, popen=popen, out=stdout if isinstance(stdout, Path) else None,
                log=stderr if isinstance(stderr, Path) else None)
    procs.append(proc)
    return proc


def exit_note(proc):
    """Says that `proc` exited and with what status, adding the signal a peer reported."""
    note = f"{proc.name} exited with status {proc.status}"
    if proc.out is not None and proc.out.is_file():
        with open(proc.out, "rb") as f:
            f.seek(max(0, proc.out.stat().st_size - 4096))
            said = [line for line in f.read().decode(errors="replace").splitlines()
                    if line.startswith("ouch, got signal")]
        if said:
            note += f" ({said[-1].strip()})"
    return note


def tail_of(path, lines=3):
    """The last lines of a log file, joined for a one-line message."""
    if path is None or not Path(path).is_file():
        return "(no log)"
    text = Path(path).read_text(errors="replace").strip().splitlines()
    return " | ".join(text[-lines:]) or "(empty log)"


def peer_argv(bin_dir, files, peer_id, absolute=False):
    """The command line (program and short options) of peer `peer_id` of the swarm: its files
    named relative to the work folder, or by absolute paths for a command run from any folder.
    `bin_dir` may be relative to our own folder."""
    def name(path):
        return str(path) if absolute else path.name
    return [Path(bin_dir).resolve() / "peer", "-p", name(files.nodes),
            "-c", name(files.has_files[peer_id]), "-f", name(files.master), "-i", peer_id]


def start_peer(procs, bin_dir, files, peer_id, env, debug=None, stdout=None, stderr=None,
               extra=()):
    """Starts the peer `peer_id` of the swarm in its work folder, with relative file names.

    Unless told otherwise the peer's standard output and error go to peer<id>.out and
    peer<id>.err there: without netsim the output carries a line per datagram received, so it
    must never sit unread in a pipe. `extra` arguments follow them (--transport,
    --window-log ...)."""
    argv = peer_argv(bin_dir, files, peer_id)
    if debug:
        argv += ["-d", debug]
    argv += list(extra)
    log = files.work / f"peer{peer_id}.err"
    proc = start(procs, f"peer {peer_id}", argv, cwd=files.work, env=env,
                 stdout=stdout or files.work / f"peer{peer_id}.out", stderr=stderr or log)
    proc.log = log
    return proc


def bound_udp_ports():
    """The local ports of the UDP sockets bound on this host, from /proc/net/udp; None where
    that file does not exist."""
    try:
        with open("/proc/net/udp") as f:
            rows = f.read().splitlines()[1:]
    except OSError:
        return None
    return {int(row.split()[1].rpartition(":")[2], 16) for row in rows if row.strip()}


def wait_until_bound(peers, ports, deadline):
    """Waits until every peer's port is bound, so no WHOHAS goes to a peer not yet listening.

    A peer that exits meanwhile (a port taken by someone else, a bad file) is an error."""
    while True:
        for proc in peers:
            if reap_if_exited(proc):
                raise SwarmError(f"{exit_note(proc)} at start-up: {tail_of(proc.log)}")
        bound = bound_udp_ports()
        if bound is None:
            time.sleep(0.5)  # no way to look: give the peers a moment to bind
            return
        if all(port in bound for port in ports):
            return
        if time.monotonic() >= deadline:
            raise SwarmError("the peers did not bind their ports in time")
        time.sleep(0.02)

