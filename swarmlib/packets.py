"""The peers' packets as bytes, for scripts that play a peer or seed a fuzzer: the 16-byte
header (magic, version, type, header length, packet length, seq, ack; network order) and a
payload."""
import struct

MAGIC = 23517
WHOHAS, IHAVE, GET, DATA, ACK = range(5)
HEADER = struct.Struct("!HBBHHII")


def packet(ptype, payload=b"", seq=0, ack=0, h_len=HEADER.size):
    """One packet; a header longer than 16 bytes is padded with zeros."""
    head = HEADER.pack(MAGIC, 1, ptype, h_len, h_len + len(payload), seq, ack)
    return head + b"\0" * (h_len - HEADER.size) + payload
