"""A kernel testbed: one network namespace per host, every host joined to one bridge by a veth
pair, and every host's access link shaped by the kernel with tc's token bucket filter (tbf): the
uplink on the host's end of its pair, the downlink on the bridge's end. The rates a swarm gets
are the kernel's, so a large swarm measures its peers, not a simulator sharing their two cores.

The addresses (10.78.x.y) exist only inside these namespaces, which are made and deleted by name
here; a host's traffic can reach no other address. Needs root and iproute2's ip and tc."""

import dataclasses
import os
import shutil
import subprocess
from pathlib import Path

from swarmlib import SwarmError

QUEUE_S = 0.1      # a tbf queue holds this much of its rate, as netsim's node links do
BURST_BYTES = 32768


@dataclasses.dataclass
class Testbed:
    tag: str        # names every namespace and interface of this testbed
    ip: str         # the ip program
    tc: str         # the tc program
    hub: str        # the namespace of the bridge
    hosts: list     # namespace of host i
    addrs: list     # IPv4 address of host i
    devs: list      # host i's end of its veth pair, inside its namespace


def unavailable():
    """Why a testbed cannot be made here, or '' when it can."""
    if os.geteuid() != 0:
        return "the kernel testbed needs root (network namespaces, tc)"
    for tool in ("ip", "tc"):
        if not _tool(tool):
            return f"no {tool} program (iproute2: scripts/install-deps.sh installs it)"
    return ""


def _tool(name):
    found = shutil.which(name)
    for path in (found, f"/usr/sbin/{name}", f"/sbin/{name}"):
        if path and os.access(path, os.X_OK):
            return path
    return None


def _run(argv):
    done = subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=20)
    if done.returncode != 0:
        raise SwarmError(f"{' '.join(str(a) for a in argv)}: {done.stderr.strip()}")
    return done.stdout


def host_address(i):
    return f"10.78.{i // 250}.{i % 250 + 1}"


def _tbf(tb, namespace, dev, kbyte_s):
    """Shapes what leaves dev to kbyte_s KB/s, queueing QUEUE_S of it at most."""
    rate_bit = int(kbyte_s * 8000)
    limit = max(BURST_BYTES, int(kbyte_s * 1000 * QUEUE_S))
    _run([tb.ip, "netns", "exec", namespace, tb.tc, "qdisc", "replace", "dev", dev, "root", "tbf",
          "rate", f"{rate_bit}bit", "burst", str(BURST_BYTES), "limit", str(limit)])


def make(hosts, ups, downs):
    """A testbed of `hosts` hosts; host i gets ups[i] KB/s up and downs[i] KB/s down."""
    tag = f"k{os.getpid() % 100000}"
    tb = Testbed(tag, _tool("ip"), _tool("tc"), f"p2p{tag}hub", [], [], [])
    remove(tb, hosts)  # leftovers of an earlier process with the same pid
    try:
        _run([tb.ip, "netns", "add", tb.hub])
        _run([tb.ip, "-n", tb.hub, "link", "add", "br0", "type", "bridge"])
        _run([tb.ip, "-n", tb.hub, "link", "set", "br0", "up"])
        for i in range(hosts):
            _add_host(tb, i, ups[i], downs[i])
    except (SwarmError, subprocess.TimeoutExpired):
        remove(tb, hosts)
        raise
    return tb


def _add_host(tb, i, up, down):
    ns, outer, inner = f"p2p{tb.tag}h{i}", f"{tb.tag}o{i}", f"{tb.tag}i{i}"
    _run([tb.ip, "netns", "add", ns])
    # Made inside the hub, the pair never has an end outside the testbed's namespaces.
    _run([tb.ip, "-n", tb.hub, "link", "add", outer, "type", "veth", "peer", "name", inner,
          "netns", ns])
    _run([tb.ip, "-n", tb.hub, "link", "set", outer, "master", "br0", "up"])
    addr = host_address(i)
    _run([tb.ip, "-n", ns, "addr", "add", f"{addr}/16", "dev", inner])
    _run([tb.ip, "-n", ns, "link", "set", inner, "up"])
    _run([tb.ip, "-n", ns, "link", "set", "lo", "up"])
    _tbf(tb, ns, inner, up)
    _tbf(tb, tb.hub, outer, down)
    tb.hosts.append(ns)
    tb.addrs.append(addr)
    tb.devs.append(inner)


def remove(tb, hosts=None):
    """Deletes every namespace of the testbed (and with them their interfaces), by name."""
    count = hosts if hosts is not None else len(tb.hosts)
    for ns in [f"p2p{tb.tag}h{i}" for i in range(count)] + [tb.hub]:
        subprocess.run([tb.ip, "netns", "delete", ns], capture_output=True, timeout=20)


def inside(tb, i):
    """The words that run a program on host i (ip netns exec keeps the program's pid)."""
    return [tb.ip, "netns", "exec", tb.hosts[i]]


def sent_bytes(tb, i):
    """Bytes host i has sent into its uplink so far."""
    return int(_run([tb.ip, "netns", "exec", tb.hosts[i], "cat",
                     f"/sys/class/net/{tb.devs[i]}/statistics/tx_bytes"]).strip())


def _dropped(tb, namespace, dev):
    out = _run([tb.ip, "netns", "exec", namespace, tb.tc, "-s", "qdisc", "show", "dev", dev])
    words = out.replace(",", " ").split()
    return int(words[words.index("dropped") + 1]) if "dropped" in words else 0


def queue_drops(tb, i):
    """Datagrams host i's uplink and downlink queues dropped (tbf queue full), as a pair."""
    return (_dropped(tb, tb.hosts[i], tb.devs[i]),
            _dropped(tb, tb.hub, f"{tb.tag}o{i}"))


def bound_in(pid):
    """UDP ports bound in the network namespace of process pid; None when it cannot be read."""
    try:
        lines = Path(f"/proc/{pid}/net/udp").read_text().splitlines()[1:]
    except OSError:
        return None
    return {int(line.split()[1].split(":")[1], 16) for line in lines if line.strip()}
