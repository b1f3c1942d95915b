"""Fuzz targets: each takes the fuzzer's bytes and raises only on a finding."""

import quoril

DOCUMENTED = (ValueError, TypeError, OverflowError)
STREAM_ERRORS = DOCUMENTED + (quoril.OutOfData, quoril.BufferFull)


def unpackb(data):
    for options in ({}, {"strict_map_key": False, "use_list": False, "raw": True, "timestamp": 3}):
        try:
            quoril.unpackb(data, **options)
        except DOCUMENTED:
            pass


def _pieces(data):
    """The first byte chooses how the rest is cut into pieces."""
    if not data:
        return []
    seed, body = data[0], data[1:]
    sizes = [1 + (seed >> 4), 1 + (seed & 15) * 3]
    out, i, k = [], 0, 0
    while i < len(body):
        n = sizes[k % 2]
        out.append(body[i:i + n])
        i += n
        k += 1
    return out


def unpacker(data):
    u = quoril.Unpacker(max_buffer_size=1 << 16, strict_map_key=False, use_list=False)
    try:
        for piece in _pieces(data):
            u.feed(piece)
            for _ in u:
                pass
    except STREAM_ERRORS:
        pass


def readers(data):
    """Mixes skip, the header readers and unpack; the first byte picks the order."""
    if not data:
        return
    plan, body = data[0], data[1:]
    u = quoril.Unpacker(max_buffer_size=1 << 16, strict_map_key=False, use_list=False)
    u.feed(body)
    ops = [u.unpack, u.skip, u.read_array_header, u.read_map_header]
    for step in range(64):
        op = ops[(plan >> (2 * (step % 4))) & 3]
        before = u.tell()
        try:
            op()
        except quoril.OutOfData:
            return
        except DOCUMENTED:
            try:
                u.skip()  # mode lock or a bad item: one more try must not corrupt state
            except STREAM_ERRORS:
                return
        if u.tell() < before:
            raise AssertionError("position went backwards")


def roundtrip(data):
    """Decoding, packing and decoding again reaches a fixed point."""
    try:
        value = quoril.unpackb(data, strict_map_key=False, use_list=False)
    except DOCUMENTED:
        return
    packed = quoril.packb(value)
    again = quoril.unpackb(packed, strict_map_key=False, use_list=False)
    if quoril.packb(again) != packed:
        raise AssertionError("pack(unpack(pack(x))) differs from pack(x)")
