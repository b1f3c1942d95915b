"""Generated tests: round trips under every option that shapes the wire or the result,
streams split anywhere, the readers agreeing with each other, and hostile bytes."""

import datetime
import struct

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quoril import (BufferFull, ExtType, OutOfData, Timestamp, Unpacker, packb, unpackb)

SETTINGS = settings(max_examples=150, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

timestamps = st.builds(Timestamp, st.integers(-(2**63), 2**63 - 1), st.integers(0, 999_999_999))
exts = st.builds(ExtType, st.integers(-128, 127).filter(lambda c: c != -1), st.binary(max_size=70))
scalars = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
           | st.floats(allow_nan=False) | st.text(max_size=70) | st.binary(max_size=300)
           | timestamps | exts)
keys = st.text(max_size=40) | st.binary(max_size=8)


def documents(leaves=scalars):
    return st.recursive(
        leaves,
        lambda inner: st.lists(inner, max_size=6) | st.dictionaries(keys, inner, max_size=6),
        max_leaves=30,
    )


def as_tuples(v):
    if isinstance(v, list):
        return tuple(as_tuples(x) for x in v)
    if isinstance(v, dict):
        return {k: as_tuples(x) for k, x in v.items()}
    return v


def as_raw(v):
    """What raw=True with use_bin_type=False gives back: every str and bytes as bytes."""
    if isinstance(v, str):
        return v.encode("utf-8", "surrogatepass")
    if isinstance(v, list):
        return [as_raw(x) for x in v]
    if isinstance(v, dict):
        return {as_raw(k): as_raw(x) for k, x in v.items()}
    return v


def single(v):
    if isinstance(v, float):
        return struct.unpack(">f", struct.pack(">f", v))[0]
    if isinstance(v, list):
        return [single(x) for x in v]
    if isinstance(v, dict):
        return {k: single(x) for k, x in v.items()}
    return v


@SETTINGS
@given(documents())
def test_round_trip(value):
    assert unpackb(packb(value)) == value
    assert unpackb(packb(value), use_list=False) == as_tuples(value)
    assert unpackb(packb(value, strict_types=True)) == value


@SETTINGS
@given(st.integers(-128, 127).filter(lambda c: c != -1), st.binary(max_size=300))
def test_ext_round_trip(code, data):
    # Bodies longer than the documents' exts, so that ext 16 is reached too.
    assert unpackb(packb(ExtType(code, data))) == ExtType(code, data)


@SETTINGS
@given(documents())
def test_round_trip_without_bin_type(value):
    assert unpackb(packb(value, use_bin_type=False), raw=True) == as_raw(value)


@SETTINGS
@given(documents(st.none() | st.integers(-100, 100) | st.floats(allow_nan=False)))
def test_round_trip_single_float(value):
    try:
        packed = packb(value, use_single_float=True)
    except OverflowError:  # a finite float beyond single precision's range
        return
    assert unpackb(packed) == single(value)


@SETTINGS
@given(st.datetimes(min_value=datetime.datetime(1, 1, 2), timezones=st.just(datetime.timezone.utc)))
def test_round_trip_datetime(value):
    assert unpackb(packb(value, datetime=True), timestamp=3) == value


@SETTINGS
@given(timestamps)
def test_timestamp_modes_agree(ts):
    wire = packb(ts)
    assert unpackb(wire) == ts
    assert unpackb(wire, timestamp=2) == ts.to_unix_nano()
    assert abs(unpackb(wire, timestamp=1) - ts.to_unix()) <= abs(ts.to_unix()) * 1e-15 + 1e-9


@SETTINGS
@given(st.lists(documents(), min_size=1, max_size=5), st.data())
def test_stream_split_anywhere(objects, data):
    wire = b"".join(packb(o) for o in objects)
    cuts = sorted(data.draw(st.lists(st.integers(0, len(wire)), max_size=8)))
    u = Unpacker()
    got, last = [], 0
    for cut in cuts + [len(wire)]:
        u.feed(wire[last:cut])
        last = cut
        got.extend(u)
    assert got == objects and u.tell() == len(wire)


class Chunks:
    def __init__(self, data, sizes):
        self.data, self.sizes = data, list(sizes)

    def read(self, n):
        take = min(n, self.sizes.pop(0) if self.sizes else n)
        out, self.data = self.data[:take], self.data[take:]
        return out


@SETTINGS
@given(st.lists(documents(), min_size=1, max_size=5), st.lists(st.integers(1, 50), max_size=30))
def test_source_with_short_reads(objects, sizes):
    wire = b"".join(packb(o) for o in objects)
    assert list(Unpacker(Chunks(wire, sizes), read_size=64)) == objects


@SETTINGS
@given(st.lists(documents(), min_size=1, max_size=6), st.data())
def test_skip_and_headers_agree_with_unpack(objects, data):
    wire = b"".join(packb(o) for o in objects)
    reference = Unpacker()
    reference.feed(wire)
    ends = []
    for _ in objects:
        reference.unpack()
        ends.append(reference.tell())
    u = Unpacker()
    u.feed(wire)
    for obj, end in zip(objects, ends):
        how = data.draw(st.sampled_from(["unpack", "skip", "header"]))
        if how == "unpack":
            assert u.unpack() == obj
        elif how == "skip":
            assert u.skip() is None
        elif isinstance(obj, list):
            assert u.read_array_header() == len(obj)
            for item in obj:
                assert u.unpack() == item
        elif isinstance(obj, dict):
            assert u.read_map_header() == len(obj)
            for k, v in obj.items():
                assert u.unpack() == k and u.unpack() == v
        else:
            u.skip()
        assert u.tell() == end


DOCUMENTED = (ValueError, TypeError, OverflowError)


def decode_or_refuse(data, **options):
    try:
        unpackb(data, **options)
    except DOCUMENTED:
        pass


def stream_or_refuse(data, piece):
    u = Unpacker(max_buffer_size=1 << 16)
    try:
        for i in range(0, len(data), piece):
            u.feed(data[i:i + piece])
            for _ in u:
                pass
    except DOCUMENTED + (BufferFull, OutOfData):
        pass


@settings(max_examples=600, deadline=None)
@given(st.binary(max_size=200))
def test_random_bytes(data):
    decode_or_refuse(data)
    decode_or_refuse(data, strict_map_key=False, use_list=False, raw=True, timestamp=3)
    stream_or_refuse(data, 7)


@st.composite
def mutated(draw):
    wire = bytearray(packb(draw(documents())))
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["flip", "insert", "delete", "length"]))
        at = draw(st.integers(0, max(len(wire) - 1, 0)))
        if kind == "flip" and wire:
            wire[at] ^= 1 << draw(st.integers(0, 7))
        elif kind == "insert":
            wire[at:at] = bytes([draw(st.integers(0, 255))])
        elif kind == "delete" and wire:
            del wire[at]
        elif kind == "length":
            wire[at:at] = draw(st.sampled_from([b"\xdd\xff\xff\xff\xff", b"\xdb\xff\xff\xff\xff",
                                                b"\xc9\xff\xff\xff\xff\x05", b"\xdf\x7f\xff\xff\xff"]))
    return bytes(wire)


@settings(max_examples=600, deadline=None)
@given(mutated(), st.integers(1, 64))
def test_mutated_messages(data, piece):
    decode_or_refuse(data)
    decode_or_refuse(data, strict_map_key=False, timestamp=3)
    stream_or_refuse(data, piece)
