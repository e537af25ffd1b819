"""Shares your own file through a swarm of peers that you start by hand.

    python3 -m demo.share FILE --peers N [--dir DIR] [--bin build/bin]

Writes into DIR (default: a new folder under /tmp) the master chunk file, which names FILE
where it is, a has-chunk file per uploading peer (ids 2 .. N+1, every chunk held by two of
them), an empty one for the downloading peer (id 1), the hash file of the whole FILE for the
GET, and a peer list on UDP ports of 127.0.0.1 that were free a moment ago. Then prints the
commands that start each peer, the GET line to type into the downloader, and how to check the
copy and stop the uploaders, all with absolute paths.
"""

import argparse
import shlex
import sys
import tempfile
from pathlib import Path

from swarmlib import DEMO_COPIES, DOWNLOADER_ID, SwarmError, add_folder_options, missing_programs
from swarmlib.files import chunk_hashes, prepare_swarm
from swarmlib.processes import peer_argv
from swarmlib.progress import MAX_GET_NAME

HASHLIST_TIMEOUT_S = 600


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="python3 -m demo.share",
        description="Writes the files of a swarm that shares FILE and prints the commands "
                    "that run it.")
    p.add_argument("file", type=Path, help="the file to share")
    p.add_argument("--peers", type=int, default=2, help="uploading peers (default 2)")
    p.add_argument("--dir", type=Path, help="folder for the swarm's files (default: a new "
                                            "folder under /tmp)")
    add_folder_options(p, ["peer", "hashlist"])
    args = p.parse_args(argv)
    problems = missing_programs(args.bin, ["peer", "hashlist"])
    if not 1 <= args.peers <= 64:
        problems.append("--peers must be between 1 and 64")
    if not args.file.is_file():
        problems.append(f"{args.file} is not a file")
    elif args.file.stat().st_size == 0:
        problems.append(f"{args.file} is empty: there is nothing to share")
    if problems:
        p.error("; ".join(problems))
    return args


def command(words):
    return " ".join(shlex.quote(str(w)) for w in words)


def commands(bin_dir, files):
    """The lines to paste into a shell, comments included: uploaders, downloader, GET, check."""
    work = files.work
    # A background job that reads the terminal is stopped by the shell: uploaders read nothing.
    lines = [f"# 1. the uploaders, in the background (messages in {work}/peer<id>.err, "
             "pids in peer<id>.pid):"]
    for peer_id in files.uploader_ids:
        start = command(peer_argv(bin_dir, files, peer_id, absolute=True))
        err = shlex.quote(str(work / f"peer{peer_id}.err"))
        pid = shlex.quote(str(work / f"peer{peer_id}.pid"))
        lines.append(f"{start} < /dev/null > /dev/null 2> {err} & echo $! > {pid}")
    lines += [
        "# 2. the downloader, in the foreground; -x 1 ends it (status 10) once its download is",
        "#    complete, and grep hides the shim's line per datagram received:",
        command(peer_argv(bin_dir, files, DOWNLOADER_ID, absolute=True) + ["-x", "1"])
        + " | grep -v '^Vexlo'",
        "# 3. once the downloader has started, type (or paste) this line into it; it prints GOT",
        "#    when the copy is complete:",
        f"GET {files.get_file} {files.output}",
        "# 4. afterwards compare the copy with the file, and stop the uploaders:",
        f"cmp {shlex.quote(str(files.data))} {shlex.quote(str(files.output))} "
        "&& echo identical",
        f"kill $(cat {shlex.quote(str(work))}/peer*.pid)",
    ]
    return lines


def check_get_names(files):
    """The GET line takes two names of at most 120 characters without blanks."""
    for path in (files.get_file, files.output):
        text = str(path)
        if len(text) > MAX_GET_NAME or any(c.isspace() for c in text):
            raise SwarmError(f"{text} cannot be named in a GET line (at most {MAX_GET_NAME} "
                             "characters, no blanks): choose another --dir")


def share(args):
    work = args.dir.resolve() if args.dir else Path(tempfile.mkdtemp(prefix="p2p-share-"))
    hashes = chunk_hashes(args.bin, args.file, HASHLIST_TIMEOUT_S)
    files = prepare_swarm(work, args.file, hashes, args.peers, DEMO_COPIES)
    check_get_names(files)
    ids = files.uploader_ids
    print(f"# {files.data}: {files.size} bytes in {files.chunks} chunks, shared by {len(ids)} "
          f"uploading peers (ids {ids[0]}..{ids[-1]}, every chunk held by "
          f"{min(DEMO_COPIES, len(ids))}) with a downloading peer (id {DOWNLOADER_ID});")
    print(f"# swarm files in {files.work}; peer list {files.nodes}:")
    for line in files.nodes.read_text().splitlines():
        print(f"#   {line}")
    for line in commands(args.bin, files):
        print(line)


def main(argv=None):
    args = parse_args(argv)
    try:
        share(args)
    except SwarmError as e:
        print(f"share failed: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
