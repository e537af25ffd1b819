"""One whole run of a swarm: netsim (if asked for), the uploaders, the downloader, the download
followed to its end, every process stopped and the copy checked."""

import dataclasses
import subprocess
import sys
import time

from swarmlib import DOWNLOADER_ID, SwarmError
from swarmlib.files import peer_ports, verify_output
from swarmlib.processes import Proc, raise_on_sigterm, start_peer, stop_all, wait_until_bound
from swarmlib.progress import Download, follow_download
from swarmlib.router import Router, start_netsim

# Debug bits of the peers (-d): 1 makes a peer say why it failed; 2 makes the downloader report
# every verified chunk, which drives the progress display.
UPLOADER_DEBUG = 1
DOWNLOADER_DEBUG = 3
READY_WAIT_S = 10.0


def window_log_args(wanted, peer_id):
    """The peer options that write peer `peer_id`'s window log into its work folder."""
    return ["--window-log", f"windows{peer_id}.log"] if wanted else []


@dataclasses.dataclass
class SwarmRun:
    """The outcome of `run_swarm`. Every process in it has been stopped and reaped."""
    download: Download
    verified: bool
    downloader: Proc
    uploaders: list
    router: Router = None     # None when the peers talked directly


def run_swarm(bin_dir, files, timeout, netsim_options=None, uploader_debug=0,
              on_started=None, on_progress=None, peer_args=(), window_logs=False):
    """Runs the swarm of `files` once: netsim first when `netsim_options` is a list (even an
    empty one), then the uploaders, then the downloader; follows the download for at most
    `timeout` seconds in all, and stops every process, netsim last, whatever happens.

    `uploader_debug` adds debug bits to the uploaders' own. `on_started(router)` is called once
    every peer listens, just before the GET is typed. `peer_args` go to every peer; with
    `window_logs` each uploader writes its window log to windows<id>.log in the work folder."""
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
                                debug=UPLOADER_DEBUG | uploader_debug,
                                extra=list(peer_args) + window_log_args(window_logs, i))
                     for i in files.uploader_ids]
        downloader = start_peer(procs, bin_dir, files, DOWNLOADER_ID, env,
                                debug=DOWNLOADER_DEBUG, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, extra=peer_args)
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


def run_guarded(body):
    """(body(), None); or, when Ctrl-C, SIGTERM (see raise_on_sigterm) or a SwarmError ends it,
    (None, exit status 130 or 1) with the reason on standard error. Every process of a swarm has
    been stopped by then: run_swarm and its kin stop them on the way out."""
    try:
        return body(), None
    except KeyboardInterrupt:
        print("interrupted; every process was stopped", file=sys.stderr)
        return None, 130
    except SwarmError as e:
        print(f"benchmark failed: {e}", file=sys.stderr)
        return None, 1


def summary_main(run_all, args):
    """The body of a benchmark's main: `run_all(args)` returns its summary lines and whether
    every run succeeded; they are printed under "summary". The exit status: 0 when all runs
    succeeded, 1 on a failed run or swarm error, 130 on Ctrl-C or SIGTERM (every process of the
    swarm is stopped either way)."""
    raise_on_sigterm()
    result, status = run_guarded(lambda: run_all(args))
    if status is not None:
        return status
    lines, all_ok = result
    print("summary")
    for line in lines:
        print("  " + line)
    return 0 if all_ok else 1
