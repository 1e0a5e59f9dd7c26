"""Containers built byte by byte, independently of the codec's own writer."""

import struct

MAGIC = b"\x89QLV"


def _crc32c_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
        table.append(c)
    return table


_TABLE = _crc32c_table()


def crc32c(data: bytes) -> int:
    state = 0xFFFFFFFF
    for byte in data:
        state = _TABLE[(state ^ byte) & 0xFF] ^ (state >> 8)
    return state ^ 0xFFFFFFFF


def container(
    shape=(1, 2, 3),
    bits=8,
    signed=False,
    base=0,
    max_code=255,
    slab=32,
    stripe=512,
    tiles=None,
    model_2d=bytes(range(16)),
    model_3d=bytes(range(16, 32)),
    sha256=bytes(range(32)),
    packing=b"",
    metadata=b"",
    streams=b"",
):
    """A container header (with a correct CRC) followed by `streams`.

    `tiles` is a list of (length, stream_crc, samples_crc); by default one empty tile per tile
    of the tiling."""
    slices, rows, columns = shape
    count = -(-slices // slab) * -(-rows // stripe)
    if tiles is None:
        tiles = [(0, 0, 0)] * count
    flags = (1 if packing else 0) | (2 if metadata else 0)
    body = MAGIC + struct.pack(
        "<HHIIIBBHiIHHII",
        1,
        flags,
        slices,
        rows,
        columns,
        bits,
        1 if signed else 0,
        0,
        base,
        max_code,
        slab,
        stripe,
        len(tiles),
        76 + len(packing) + len(metadata) + 20 * len(tiles),
    )
    body += model_2d + model_3d + sha256
    body += struct.pack("<I", len(packing)) + packing + struct.pack("<I", len(metadata)) + metadata
    offset = 0
    for length, stream_crc, samples_crc in tiles:
        body += struct.pack("<QIII", offset, length, stream_crc, samples_crc)
        offset += length
    return body + struct.pack("<I", crc32c(body)) + streams
