"""Builds DZ containers for the Python module's tests: valid by default, with every marker, size
and digest right, and open to any damage a test does afterwards."""

import hashlib
import struct
import zlib

CREATED = 129143443100000000  # 2010-03-29 13:51:50 UTC as a Windows file time


def field(text: bytes, width: int) -> bytes:
    return text[:width].ljust(width, b"\0")


def packed(content: bytes, gzip: bool = False) -> bytes:
    stream = zlib.compressobj(6, zlib.DEFLATED, 31 if gzip else 15)
    return stream.compress(content) + stream.flush()


def subfile(name: bytes, data: bytes, digest: bytes) -> bytes:
    header = b"SSTX" + bytes(12) + struct.pack("<I", len(data)) + field(name, 144) + digest
    return header + hashlib.md5(header).digest() + data


def container(subfiles, model=b"KX100", internal=b"KX100AT-00-V10a", chip=b"QSD8650",
              file_name=b"KX100AT.dz", version=2, created=CREATED, entries=None):
    """The bytes of a container of `subfiles`, each (name, content) or (name, packed data,
    content digest); `entries` gives the table's (type, offset) pairs instead."""
    header = (b"MSTXMETX" + struct.pack("<IIQ", version, len(subfiles), created)
              + field(model, 8) + field(internal, 80) + field(chip, 28) + field(file_name, 160))
    out = bytearray(header + hashlib.md5(header).digest())
    offsets = []
    for item in subfiles:
        name, data, digest = item if len(item) == 3 else (
            item[0], packed(item[1]), hashlib.md5(item[1]).digest())
        offsets.append(len(out))
        out += subfile(name, data, digest)
    table = entries if entries is not None else [(1, at) for at in offsets]
    body = struct.pack("<I", len(table)) + b"".join(struct.pack("<II", *e) for e in table)
    body += struct.pack("<I", len(body) + 4)
    out += b"OSTX" + hashlib.md5(body).digest() + body + b"ESTX"
    return bytes(out), offsets


def reseal(data: bytearray, at: int, length: int) -> None:
    """Rewrites the digest stored after `length` bytes at `at`."""
    data[at + length:at + length + 16] = hashlib.md5(data[at:at + length]).digest()
