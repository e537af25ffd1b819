"""A local swarm of peers on 127.0.0.1, for the demo and the benchmarks.

It writes the data file, the master chunk file, the hash files and the peer list (files),
starts `peer` and `netsim` processes and stops every one it started by its pid (processes,
router), types a GET into the downloading peer and follows its output until the file is
complete (progress), and puts one whole run together (run).

The downloading peer always has id 1; the uploading peers have ids 2, 3, ...
This module holds what the others share: sizes, ids, the error type and folder options.
"""

from pathlib import Path

CHUNK_SIZE = 524288
DOWNLOADER_ID = 1
# Uploaders holding each chunk in the demo swarm, so that losing one still leaves a source.
DEMO_COPIES = 2
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

