#!/usr/bin/env python3
"""Writes the seed inputs for the container fuzzer: a few well-formed
containers, laid out by hand, for the fuzzer to start mutating from."""
import pathlib
import struct
import sys

MARKER = b"@SEG"


def header(segment_size, flags=0x800, header_size=352, first_block=352,
           build=12345, code=27123, sku=(1234, 5), version=3):
    h = bytearray(352)
    h[0:8] = b"romnirB\0"
    struct.pack_into("<Q", h, 8, header_size)
    struct.pack_into("<Q", h, 24, segment_size)
    struct.pack_into("<Q", h, 72, flags)
    struct.pack_into("<III", h, 156, build, sku[1], sku[0])
    struct.pack_into("<Q", h, 168, first_block)
    struct.pack_into("<I", h, 244, version)
    struct.pack_into("<I", h, 344, code)
    return bytes(h)


def block(btype, payload, next_pos, flags=0, extension=b"", trailer=b""):
    out = struct.pack("<HBBi", btype, flags, 0, len(payload))
    if not flags & 0x04:
        out += struct.pack("<Q", next_pos)
    if flags & 0x20:
        out += extension.ljust(16, b"x")[:16]
    return out + payload + (trailer.ljust(20, b"t")[:20] if flags & 0x02 else b"")


def chain(start, blocks):
    """blocks: (type, payload, flags); returns bytes laid out from start."""
    out = b""
    pos = start
    for i, (btype, payload, flags) in enumerate(blocks):
        probe = block(btype, payload, 0, flags, b"e", b"t")
        nxt = 0 if i == len(blocks) - 1 else pos + len(probe)
        data = block(btype, payload, nxt, flags, b"e", b"t")
        out += data
        pos += len(data)
    return out


def main(folder):
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    seeds = {}
    blocks = [(0, b"", 0), (0x0502, b"drm-payload", 0), (1, b"skip", 0),
              (3, b"chart", 0x22), (4, b"last", 0x02)]
    seeds["seed-plain"] = header(1 << 20) + chain(352, blocks)
    seeds["seed-only-required"] = header(1 << 20) + chain(352, [(0x0502, b"x" * 40, 0)])
    seeds["seed-not-qv"] = header(1 << 20, flags=0) + chain(352, blocks)
    # A chain that crosses into segment k01 at logical position 512.
    first = chain(352, [(0x0502, b"a" * 8, 0)])
    first = first[:8] + struct.pack("<Q", 512 + 4) + first[16:]
    seg1 = b"\0" * 4 + chain(516, [(2, b"b" * 16, 0)])
    seeds["seed-two-segments"] = header(512) + first + MARKER + seg1
    seeds["seed-finalized"] = header(1 << 20, flags=0x800 | 0x80 | 0x100 | 0x400) + chain(352, blocks)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent / "corpus")
