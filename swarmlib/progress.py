"""Following a download: the GET typed into the downloader, its output counted as it arrives,
and a live progress display."""

import dataclasses
import os
import selectors
import sys
import time

from swarmlib import CHUNK_SIZE, IO_BLOCK, MB, MIB, SwarmError
from swarmlib.processes import exit_note, reap_if_exited, tail_of

# The peer reads each GET name into a buffer of at most 120 characters.
MAX_GET_NAME = 120


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

