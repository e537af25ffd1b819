"""Set-up, running and tear-down of a local swarm of peers on 127.0.0.1.

Shared by demo/demo.py and the transfer benchmarks under bench/: it writes the data file, the
master chunk file, the hash files and the peer list, starts `peer` (and optionally `netsim`)
processes, types a GET into the downloading peer, follows its output until the file is complete,
checks the result, and stops every process it started by its pid.

The downloading peer always has id 1; the uploading peers have ids 2, 3, ...
"""

import contextlib
import dataclasses
import os
import re
import selectors
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

CHUNK_SIZE = 524288
DOWNLOADER_ID = 1
# Uploaders holding each chunk in the demo swarm, so that losing one still leaves a source.
DEMO_COPIES = 2
# Debug bits of the peers (-d): 1 makes a peer say why it failed; 2 makes the downloader report
# every verified chunk, which drives the progress display.
UPLOADER_DEBUG = 1
DOWNLOADER_DEBUG = 3
# The peer reads each GET name into a buffer of at most 120 characters, and the master data path
# into one of 254.
MAX_GET_NAME = 120
MAX_DATA_PATH = 254
STOP_GRACE_S = 3.0
READY_WAIT_S = 10.0
IO_BLOCK = 1 << 20
MIB = 1 << 20
MB = 1_000_000


REPO = Path(__file__).resolve().parent.parent
BENCH_DIR = Path("/tmp/p2p-bench")  # generated benchmark data, outside the repository


def add_folder_options(parser, programs, data_dir=False):
    """Adds --bin (where `programs` are) and, with data_dir, --dir (benchmark data and runs)."""
    parser.add_argument("--bin", type=Path, default=REPO / "build" / "bin",
                        help=f"folder with {', '.join(programs)} (default: build/bin)")
    if data_dir:
        parser.add_argument("--dir", type=Path, default=BENCH_DIR,
                            help=f"folder for the data file and the runs (default {BENCH_DIR})")


def parse_list(parser, option, text, kind, valid):
    """The comma list `text` of an option as values of `kind`; a parser error when one does not
    convert or fails `valid`."""
    try:
        values = [kind(x) for x in text.split(",")]
    except ValueError:
        values = None
    if not values or not all(valid(v) for v in values):
        parser.error(f"{option} takes a comma list of {kind.__name__} values, got '{text}'")
    return values


def missing_programs(bin_dir, programs):
    """A message for each of `programs` not built in bin_dir."""
    return [f"no {name} in {bin_dir} (build it first: make)"
            for name in programs if not (Path(bin_dir) / name).is_file()]


class SwarmError(Exception):
    """A failure of the swarm set-up or run, with a message meant for the user."""


# ==== files ======================================================================================

@dataclasses.dataclass
class SwarmFiles:
    """The files of one swarm, all inside `work` except the data file."""
    work: Path
    data: Path
    size: int                 # bytes of the data file
    chunks: int               # chunks of the data file, the last one possibly partial
    master: Path              # master chunk file: names `data`, lists every chunk
    get_file: Path            # hash file named by the GET: every chunk at its own position
    nodes: Path               # peer list
    has_files: dict           # peer id -> its has-chunk file
    output: Path              # where the downloader writes the file
    uploader_ids: list


def write_random_file(path, size):
    """Writes `size` random bytes to `path`, through a temporary name so no half file remains."""
    part = path.with_name(path.name + ".part")
    with open(part, "wb") as out:
        left = size
        while left > 0:
            block = min(left, IO_BLOCK)
            out.write(os.urandom(block))
            left -= block
    part.replace(path)


def ensure_data_file(folder, size):
    """A file of `size` random bytes in `folder`, named after its size; made only when no file
    of that name and size is there yet, so benchmarks generate their data once."""
    name = f"random-{size // MIB}MiB.bin" if size % MIB == 0 else f"random-{size}B.bin"
    path = Path(folder) / name
    if path.is_file() and path.stat().st_size == size:
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    write_random_file(path, size)
    return path


def chunk_hashes(bin_dir, data, timeout):
    """The chunk hashes of `data` as 40-digit hex strings in chunk order, from `hashlist`."""
    try:
        result = subprocess.run([str(Path(bin_dir) / "hashlist"), str(data)],
                                capture_output=True, text=True, timeout=timeout, check=False)
    except subprocess.TimeoutExpired as e:
        raise SwarmError(f"hashlist took more than {timeout} s on {data}") from e
    except OSError as e:
        raise SwarmError(f"cannot run hashlist: {e.strerror}") from e
    if result.returncode != 0:
        raise SwarmError(f"hashlist failed on {data}: {result.stderr.strip()}")
    hashes = [line.split(" ", 1)[1] for line in result.stdout.splitlines()]
    size = Path(data).stat().st_size
    if len(hashes) != (size + CHUNK_SIZE - 1) // CHUNK_SIZE:
        raise SwarmError(f"hashlist listed {len(hashes)} chunks for {size} bytes")
    return hashes


def chunk_holders(chunks, uploaders, copies):
    """For each uploader, the chunk numbers it holds.

    The chunks are cut into `uploaders` consecutive segments; uploader k holds segments k,
    k+1, ..., k+copies-1 (wrapping round), so neighbours overlap and every chunk is held by
    exactly `copies` uploaders."""
    copies = max(1, min(copies, uploaders))
    held = [[] for _ in range(uploaders)]
    for chunk in range(chunks):
        segment = chunk * uploaders // chunks
        for j in range(copies):
            held[(segment - j) % uploaders].append(chunk)
    return held


def write_hash_file(path, hashes, chunk_ids):
    """Writes one "<id> <hex>" line per chunk id, each line ending with a newline."""
    path.write_text("".join(f"{i} {hashes[i]}\n" for i in chunk_ids))


def free_udp_ports(count):
    """`count` distinct UDP ports of 127.0.0.1 that were free a moment ago.

    All sockets stay bound until every port is known, so no port is handed out twice."""
    socks = []
    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            socks.append(s)
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def prepare_swarm(work, data, hashes, uploaders, copies):
    """Writes the master chunk file, the hash files and the peer list of a swarm into `work`.

    Returns the SwarmFiles record. `hashes` comes from `chunk_hashes(data)`."""
    work = Path(work).resolve()
    data = Path(data).resolve()
    if len(str(data)) > MAX_DATA_PATH:
        raise SwarmError(f"data file path longer than {MAX_DATA_PATH} characters: {data}")
    work.mkdir(parents=True, exist_ok=True)
    all_ids = range(len(hashes))
    master = work / "master.chunks"
    master.write_text(f"File: {data}\nChunks:\n" + "".join(f"{i} {hashes[i]}\n" for i in all_ids))
    get_file = work / "get.chunks"
    write_hash_file(get_file, hashes, all_ids)
    uploader_ids = [DOWNLOADER_ID + 1 + k for k in range(uploaders)]
    has_files = {DOWNLOADER_ID: work / f"has{DOWNLOADER_ID}.chunks"}
    write_hash_file(has_files[DOWNLOADER_ID], hashes, [])
    for peer_id, held in zip(uploader_ids, chunk_holders(len(hashes), uploaders, copies)):
        has_files[peer_id] = work / f"has{peer_id}.chunks"
        write_hash_file(has_files[peer_id], hashes, held)
    nodes = work / "nodes.map"
    ids = [DOWNLOADER_ID] + uploader_ids
    nodes.write_text("".join(f"{i} 127.0.0.1 {port}\n"
                             for i, port in zip(ids, free_udp_ports(len(ids)))))
    return SwarmFiles(work=work, data=data, size=data.stat().st_size, chunks=len(hashes),
                      master=master, get_file=get_file, nodes=nodes, has_files=has_files,
                      output=work / "output.bin", uploader_ids=uploader_ids)


def verify_output(files):
    """True when the downloaded file holds exactly the data file's bytes."""
    if not files.output.is_file() or files.output.stat().st_size != files.size:
        return False
    with open(files.data, "rb") as want, open(files.output, "rb") as got:
        while True:
            block = want.read(IO_BLOCK)
            if block != got.read(len(block)):
                return False
            if not block:
                return True


# ==== processes ==================================================================================

@dataclasses.dataclass
class Proc:
    """A started program. `status` and `rusage` are filled in once it has been reaped."""
    name: str
    popen: subprocess.Popen
    out: Path = None          # file of its standard output, if kept
    log: Path = None          # file of its standard error, if kept
    status: int = None        # exit status, or -signal number
    rusage: object = None     # resource.struct_rusage from os.wait4

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


def stop_process(proc, grace=STOP_GRACE_S):
    """Stops `proc` by its pid: SIGTERM, then SIGKILL if it outlives `grace` seconds.

    Returns True when the process has been reaped. Its pipes are closed either way."""
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


# ==== netsim and peers ===========================================================================

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


def start_peer(procs, bin_dir, files, peer_id, env, debug=None, stdout=None, stderr=None):
    """Starts the peer `peer_id` of the swarm in its work folder, with relative file names.

    `bin_dir` may be relative to our own folder. Unless told otherwise the peer's standard
    output and error go to peer<id>.out and peer<id>.err there: without netsim the output
    carries a line per datagram received, so it must never sit unread in a pipe."""
    argv = [Path(bin_dir).resolve() / "peer", "-p", files.nodes.name,
            "-c", files.has_files[peer_id].name, "-f", files.master.name, "-i", peer_id]
    if debug:
        argv += ["-d", debug]
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


def peer_ports(files):
    """Peer id -> port, from the peer list of the swarm."""
    ports = {}
    for line in files.nodes.read_text().splitlines():
        peer_id, _host, port = line.split()
        ports[int(peer_id)] = int(port)
    return ports


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


# ==== following the download =====================================================================

class LineCounter:
    """Counts each marker in a byte stream that arrives in arbitrary pieces.

    Only complete lines are searched, so a marker cut in two by a read is counted once, when
    its line is complete; the search itself runs over whole blocks, not line by line."""

    MAX_PARTIAL = 1 << 20

    def __init__(self, markers, copy_to=None):
        self.counts = dict.fromkeys(markers, 0)
        self._partial = b""
        self._copy_to = copy_to

    def feed(self, data):
        if self._copy_to is not None:
            self._copy_to.write(data)
        data = self._partial + data
        end = data.rfind(b"\n") + 1
        self._partial = data[end:]
        if len(self._partial) > self.MAX_PARTIAL:
            self._partial = b""  # no marker line is that long: drop it rather than grow
        whole = data[:end]
        for marker in self.counts:
            self.counts[marker] += whole.count(marker)


GOOD_CHUNK = b"Successfully Downloaded:"
BAD_CHUNK = b"Hash check failed"
GAVE_UP = b"giving up on peer"


@dataclasses.dataclass
class Download:
    """How a download went."""
    done: bool                # the downloader printed "GOT <output> "
    seconds: float            # from typing the GET to the GOT line (or to giving up)
    chunks: int               # chunks verified by the downloader
    hash_failures: int
    gave_up: int              # stalled uploads the downloader gave up on
    reason: str = ""          # why it did not finish; empty when done


def follow_download(files, downloader, watched, deadline, on_progress=None):
    """Types the GET into the downloader and follows its output until it reports the file,
    a watched process ends, or `deadline` passes.

    `on_progress(chunks_done, seconds)` is called after every read of the downloader's output
    and at least a few times a second."""
    if max(len(files.get_file.name), len(files.output.name)) > MAX_GET_NAME:
        raise SwarmError("file name too long for a GET")
    got_line = f"GOT {files.output.name} \n".encode()
    with open(downloader.log, "wb") as log, selectors.DefaultSelector() as sel:
        out = LineCounter([got_line, GAVE_UP])
        err = LineCounter([GOOD_CHUNK, BAD_CHUNK], copy_to=log)
        sel.register(downloader.popen.stdout, selectors.EVENT_READ, out)
        sel.register(downloader.popen.stderr, selectors.EVENT_READ, err)
        downloader.popen.stdin.write(f"GET {files.get_file.name} {files.output.name}\n".encode())
        downloader.popen.stdin.flush()
        start_time = time.monotonic()
        reason = ""
        while not out.counts[got_line] and not reason:
            _read_ready(sel, 0.2)
            if on_progress:
                on_progress(err.counts[GOOD_CHUNK], time.monotonic() - start_time)
            if not out.counts[got_line]:
                reason = _why_stopped(watched, deadline)
        seconds = time.monotonic() - start_time
    return Download(done=not reason, seconds=seconds, chunks=err.counts[GOOD_CHUNK],
                    hash_failures=err.counts[BAD_CHUNK], gave_up=out.counts[GAVE_UP],
                    reason=reason)


def _read_ready(sel, timeout):
    """Feeds whatever the registered streams have to their counters; forgets closed ones."""
    for key, _events in sel.select(timeout=timeout):
        data = os.read(key.fd, IO_BLOCK)
        if data:
            key.data.feed(data)
        else:
            sel.unregister(key.fileobj)


def _why_stopped(watched, deadline):
    """Why following the download must stop now, or "" to go on. Every process found ended
    is named, so several ended together (one signal sent to all) show as such."""
    ended = [proc for proc in watched if reap_if_exited(proc)]
    if ended:
        return "; ".join(f"{exit_note(p)}: {tail_of(p.log, 1)}" for p in ended)
    if time.monotonic() >= deadline:
        return "timed out"
    return ""


class Progress:
    """Live progress: one line redrawn in place on a terminal, a plain line per tenth otherwise."""

    def __init__(self, files, stream=None):
        self.total = files.chunks
        self.size = files.size
        self.stream = stream or sys.stdout
        self.tty = self.stream.isatty()
        self.last_draw = 0.0
        self.last_tenth = 0
        self.drawn = False

    def text(self, done, seconds):
        got = min(done * CHUNK_SIZE, self.size)
        rate = got / MB / seconds if seconds > 0 else 0.0
        return (f"  {done:>{len(str(self.total))}}/{self.total} chunks  "
                f"{100 * done // self.total:3d}%  {got / MIB:7.1f} MiB  {rate:7.1f} MB/s  "
                f"{seconds:6.1f} s")

    def update(self, done, seconds):
        if self.tty:
            now = time.monotonic()
            if now - self.last_draw >= 0.1 or done == self.total:
                self.stream.write("\r\x1b[K" + self.text(done, seconds))
                self.stream.flush()
                self.last_draw = now
                self.drawn = True
        else:
            tenth = 10 * done // self.total
            if tenth > self.last_tenth:
                print(self.text(done, seconds), file=self.stream, flush=True)
                self.last_tenth = tenth

    def finish(self):
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()


# ==== one whole run ==============================================================================

@dataclasses.dataclass
class SwarmRun:
    """The outcome of `run_swarm`. Every process in it has been stopped and reaped."""
    download: Download
    verified: bool
    downloader: Proc
    uploaders: list
    router: Router = None     # None when the peers talked directly


def run_swarm(bin_dir, files, timeout, netsim_options=None, uploader_debug=0,
              on_started=None, on_progress=None):
    """Runs the swarm of `files` once: netsim first when `netsim_options` is a list (even an
    empty one), then the uploaders, then the downloader; follows the download for at most
    `timeout` seconds in all, and stops every process, netsim last, whatever happens.

    `uploader_debug` adds debug bits to the uploaders' own. `on_started(router)` is called once
    every peer listens, just before the GET is typed."""
    deadline = time.monotonic() + timeout
    procs = []
    router = None
    try:
        env = {}
        if netsim_options is not None:
            router = start_netsim(procs, bin_dir, files.work, netsim_options,
                                  min(deadline, time.monotonic() + READY_WAIT_S))
            env["VEXLO_ROUTER"] = f"127.0.0.1:{router.port}"
        uploaders = [start_peer(procs, bin_dir, files, i, env,
                                debug=UPLOADER_DEBUG | uploader_debug)
                     for i in files.uploader_ids]
        downloader = start_peer(procs, bin_dir, files, DOWNLOADER_ID, env,
                                debug=DOWNLOADER_DEBUG, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        wait_until_bound(uploaders + [downloader], peer_ports(files).values(),
                         min(deadline, time.monotonic() + READY_WAIT_S))
        if on_started:
            on_started(router)
        # netsim is watched too: without it no datagram moves
        download = follow_download(files, downloader, procs, deadline, on_progress)
    finally:
        stop_all(procs)
    verified = download.done and verify_output(files)
    return SwarmRun(download=download, verified=verified, downloader=downloader,
                    uploaders=uploaders, router=router)
