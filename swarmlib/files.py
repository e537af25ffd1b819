"""The files of a swarm: the data file, its chunk hashes, the master chunk file, the hash files
of the peers and the peer list; and the check of the downloaded copy."""

import dataclasses
import os
import socket
import subprocess
from pathlib import Path

from swarmlib import CHUNK_SIZE, DOWNLOADER_ID, IO_BLOCK, MIB, SwarmError

# The peer reads the master data path into a buffer of at most 254 characters.
MAX_DATA_PATH = 254


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
    """Writes the master chunk file, the hash files and the peer list of a swarm into `work`:
    the downloader (id 1) holding nothing and `uploaders` uploaders holding the chunks as
    `chunk_holders` shares them out.

    Returns the SwarmFiles record. `hashes` comes from `chunk_hashes(data)`."""
    held = chunk_holders(len(hashes), uploaders, copies)
    holdings = {DOWNLOADER_ID: []}
    holdings.update((DOWNLOADER_ID + 1 + k, chunks) for k, chunks in enumerate(held))
    return prepare_holdings(work, data, hashes, holdings)


def prepare_holdings(work, data, hashes, holdings):
    """Writes the files of a swarm whose peers hold what `holdings` says (peer id -> the chunk
    numbers it holds; the downloader, id 1, among them) into `work`, every peer on a fresh port.

    Returns the SwarmFiles record; its uploader_ids are every id but the downloader's."""
    work = Path(work).resolve()
    data = Path(data).resolve()
    if len(str(data)) > MAX_DATA_PATH:
        raise SwarmError(f"data file path longer than {MAX_DATA_PATH} characters: {data}")
    if DOWNLOADER_ID not in holdings:
        raise SwarmError(f"a swarm needs a peer {DOWNLOADER_ID}")
    work.mkdir(parents=True, exist_ok=True)
    all_ids = range(len(hashes))
    master = work / "master.chunks"
    master.write_text(f"File: {data}\nChunks:\n" + "".join(f"{i} {hashes[i]}\n" for i in all_ids))
    get_file = work / "get.chunks"
    write_hash_file(get_file, hashes, all_ids)
    ids = sorted(holdings)
    has_files = {}
    for peer_id in ids:
        has_files[peer_id] = work / f"has{peer_id}.chunks"
        write_hash_file(has_files[peer_id], hashes, holdings[peer_id])
    nodes = work / "nodes.map"
    nodes.write_text("".join(f"{i} 127.0.0.1 {port}\n"
                             for i, port in zip(ids, free_udp_ports(len(ids)))))
    return SwarmFiles(work=work, data=data, size=data.stat().st_size, chunks=len(hashes),
                      master=master, get_file=get_file, nodes=nodes, has_files=has_files,
                      output=work / "output.bin",
                      uploader_ids=[i for i in ids if i != DOWNLOADER_ID])


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


def peer_ports(files):
    """Peer id -> port, from the peer list of the swarm."""
    ports = {}
    for line in files.nodes.read_text().splitlines():
        peer_id, _host, port = line.split()
        ports[int(peer_id)] = int(port)
    return ports

