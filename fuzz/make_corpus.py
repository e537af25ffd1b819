#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into DIR/<target>/ (DIR: first argument).

Seeds are small, well-formed starting points: a whole download and an upload as step sequences
for fuzz_datagram and fuzz_datagram_adaptive, control packets, hash files, peer lists and typed
GET lines. The fuzzer mutates from there."""
import hashlib
import os
import random
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from swarmlib.packets import ACK, DATA, GET, IHAVE, WHOHAS, packet  # noqa: E402


def control(ptype, hashes):
    return packet(ptype, bytes([len(hashes) & 0xFF, 10, 10, 10]) + b"".join(hashes))


def fake_hash(n):
    return hashlib.sha1(b"seed %d" % n).digest()


# ---- fuzz_datagram steps (see the comment at the top of fuzz_datagram.cpp) ----------------

def raw(sender, data):
    return bytes([0, sender]) + struct.pack("!H", len(data)) + data


def wait(quarters):
    return bytes([1, quarters])


def chunk_data(sender, chunk, first=1, count=255, flaw=0):
    return bytes([2, sender, chunk]) + struct.pack("!H", first - 1) + bytes([count, flaw])


def ihave(sender, *selectors):
    return bytes([3, 1, sender, len(selectors)]) + bytes(selectors)


def whohas(sender, *selectors):
    return bytes([3, 0, sender, len(selectors)]) + bytes(selectors)


def get(sender, selector):
    return bytes([3, 2, sender, selector])


def ack(sender, number):
    return bytes([4, sender]) + struct.pack("!H", number)


def user_get(request, onto_own_file=0):
    return bytes([5, request, onto_own_file])


def datagram_seeds():
    # Peer 2 is sender 1, peer 3 sender 2; chunk selectors 0 and 1 are the served chunks.
    download = bytes([0]) + ihave(1, 0, 1) + chunk_data(1, 1) + chunk_data(1, 0)
    yield "download", download
    yield "download-then-request-with-repeats", download + user_get(1) + ihave(2, 0, 1) + \
        chunk_data(2, 0) + chunk_data(2, 1) + chunk_data(2, 0)
    upload = bytes([0]) + get(1, 0) + b"".join(ack(1, n) for n in (1, 2, 2, 2, 2, 3))
    yield "upload", upload + wait(8) + ack(1, 5) + wait(8) + get(1, 1) + ack(1, 200)
    yield "bad-chunk-then-time", bytes([0]) + ihave(1, 1) + chunk_data(1, 1, flaw=7) + \
        wait(8) + wait(40) + ihave(2, 1, 0) + chunk_data(2, 1)
    yield "silent-holder", bytes([0]) + ihave(2, 0) + wait(24) + wait(24) + wait(24) + \
        wait(255) + user_get(1) + user_get(0, 1)
    yield "stalled-and-out-of-order", bytes([1]) + ihave(1, 1) + chunk_data(1, 1, 1, 100) + \
        chunk_data(1, 1, 150, 20) + chunk_data(1, 1, 101, 10) + wait(200) + whohas(3, 0, 2, 3)
    rnd = random.Random(5)
    who = control(WHOHAS, [fake_hash(1), fake_hash(2)])
    junk = packet(DATA, bytes(rnd.randrange(256) for _ in range(1401)), seq=3)
    yield "raw", bytes([33]) + raw(2, who) + raw(4, who) + raw(5, packet(ACK, ack=7)) + \
        raw(1, junk) + raw(0, packet(5))


def ack_run(sender, first, count, pattern):
    return bytes([6, sender]) + struct.pack("!H", first) + bytes([count - 1]) + \
        struct.pack("!H", pattern)


def wait_ms(ms):
    return bytes([7, ms])


def adaptive_datagram_seeds():
    # The byte after the debug mask starts the upload: 0 is peer 2 asking for served chunk 0.
    for name, data in datagram_seeds():
        yield name, data[:1] + bytes([0]) + data[1:]
    acked = b"".join(ack_run(1, n, 16, 0xFFFF) + wait_ms(2) for n in range(0, 80, 16))
    yield "upload-acked", bytes([0, 0]) + acked + ack_run(1, 80, 64, 0xFFFF) + wait_ms(50)
    # A hole at 9: three duplicates, a partial ACK, then the rest; a timeout after that.
    yield "upload-recovery", bytes([0, 4]) + ack_run(1, 0, 8, 0xFFFF) + \
        ack_run(1, 8, 4, 0x0000) + ack_run(1, 12, 1, 0x0001) + wait_ms(200) + \
        ack_run(1, 13, 40, 0xFFFF) + wait(8) + ack_run(1, 53, 8, 0x5555)
    yield "upload-stray-ack", bytes([0, 1]) + ack_run(1, 3, 2, 0x0003) + ack(1, 300) + \
        ack_run(1, 5, 6, 0x0000) + wait_ms(255) + wait(4) + get(1, 0) + ack_run(1, 0, 10, 0x0155)


def control_seeds():
    yield "whohas", control(WHOHAS, [fake_hash(1), fake_hash(2)])
    yield "ihave-74", control(IHAVE, [fake_hash(i) for i in range(74)])
    yield "get", packet(GET, fake_hash(3))
    yield "long-header", packet(IHAVE, bytes([1, 10, 10, 10]) + fake_hash(4), h_len=20)
    yield "header-only", packet(WHOHAS)


def hashfile_seeds():
    lines = b"".join(b"%d %s\n" % (i, fake_hash(i).hex().encode()) for i in range(3))
    yield "chunks", b"\0" + lines
    yield "master", b"\1File: /tmp/data.bin\nChunks:\n" + lines.replace(b"\n", b"\r\n")
    yield "malformed", b"\0" + b"x " + fake_hash(1).hex().encode() + b"\n007 " + \
        fake_hash(2).hex().encode() + b"0\n12\t" + fake_hash(3).hex().encode() + b"\n9 " + \
        fake_hash(4).hex().encode()
    yield "master-no-colon", b"\1File /tmp/data.bin\n"


def peerlist_seeds():
    yield "three", b"1 127.0.0.1 4001\n2 localhost 4002\n# comment\n\n  3\t127.0.0.1   4003"
    yield "bad-host", b"1 127.0.0.1 4001\n2 300.1.2.3 4002\n"
    yield "short-line", b"1 127.0.0.1\n"
    yield "long-line", b"1 127.0.0.1 4001" + b" " * 250 + b"2 127.0.0.1 4002\n"
    yield "wrapping-numbers", b"65538 127.0.0.1 70000\n-1 127.0.0.1 99999999999999999999\n"


def user_input_seeds():
    yield "get", b"\xff" + b"GET want.chunks out.dat\n"
    yield "pieces", b"\x03" + b"GET want.chunks a\nGET want.chunks b\nGET x y\nGETwant.chunks c\n"
    yield "own-files", b"\x40" + b"GET want.chunks data.bin\nGET want.chunks master.chunks\n"
    yield "long-names", b"\x20" + b"GET " + b"n" * 125 + b" out\nGET want.chunks " + \
        b"o" * 121 + b"\n"
    yield "nul-and-blank", b"\x07" + b"ab\0cd\n\nGET\n  GET want.chunks q\nGET want.chunks\n"


def netsim_seeds():
    yield "rules", b"\0# links\nall loss=0.02 delay=5\n" \
        b"link 127.0.0.1:4001 127.0.0.1:4002 loss=0.3 types=data\n" \
        b"link * 127.0.0.1:4003 bandwidth=500 queue=30000\nblackout=10:5\n" \
        b"corrupt=0.01 corrupt-data-only types=data\n"
    yield "bad-rule", b"\0all loss=2\n"
    yield "nodes", b"\0127.0.0.1:4001 up=1000 down=500 queue=30000\nnode * up=2000\n" \
        b"node 127.0.0.1:4001 down=250\nlink * 127.0.0.1:4001 bandwidth=100\n"
    yield "bad-node", b"\0* up=0\nnode 127.0.0.1 down=5\n"
    # The 16-byte encapsulation header: sender id, source and destination address, ports.
    encapsulation = struct.pack("!iIIHH", 2, 0x7F000001, 0x7F000001, 4001, 4002)
    yield "data", b"\1" + encapsulation + packet(DATA, b"x" * 40, seq=7)
    yield "short", b"\1" + encapsulation[:10]


def seal_seeds():
    # A plain peer packet where an envelope belongs, and an envelope header of random bytes.
    yield "plain", b"\0" + packet(DATA, b"x" * 40, seq=7)
    yield "envelope", b"\0" + b"\x5e\xa1\x01\x02\x00\x00\x00\x00" + bytes(range(80))
    # Sealed whole (no change, nothing cut), then with one byte of its header or tag changed.
    yield "whole", b"\1\0\0\1" + packet(GET, b"h" * 20)
    yield "header-changed", b"\1\x03\x01\1" + packet(ACK, ack=3)
    yield "cut", b"\1\0\0\x08" + packet(DATA, b"d" * 100, seq=1)


SEEDS = {
    "fuzz_datagram": datagram_seeds,
    "fuzz_datagram_adaptive": adaptive_datagram_seeds,
    "fuzz_datagram_swarm": adaptive_datagram_seeds,
    "fuzz_control": control_seeds,
    "fuzz_hashfile": hashfile_seeds,
    "fuzz_peerlist": peerlist_seeds,
    "fuzz_user_input": user_input_seeds,
    "fuzz_netsim": netsim_seeds,
    "fuzz_seal": seal_seeds,
}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_corpus.py DIR")
    for target, seeds in SEEDS.items():
        folder = os.path.join(sys.argv[1], target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
