"""Crafted hostile inputs: each gets its documented exception and stays within a small
multiple of its own size in memory."""

import tracemalloc

import pytest

# tracemalloc measures the whole process, so other threads' allocations would count.
pytestmark = pytest.mark.thread_unsafe(reason="measures process-wide memory with tracemalloc")

from conftest import h
from quoril import BufferFull, FormatError, OutOfData, StackError, Unpacker, unpackb

INCOMPLETE = "Unpack failed: incomplete input"

HOSTILE = [
    ("array 32 of 2**32-1", "dd ff ff ff ff", ValueError, "4294967295 exceeds max_array_len(5)"),
    ("map 32 of 2**32-1", "df ff ff ff ff", ValueError, "4294967295 exceeds max_map_len(2)"),
    ("array 16 claims more than given", "dc ff ff 01", ValueError, "65535 exceeds max_array_len(4)"),
    ("str 32 of 2**32-1", "db ff ff ff ff", ValueError, INCOMPLETE),
    ("str 16 of 2**16-1", "da ff ff 61", ValueError, INCOMPLETE),
    ("str 8 of 255", "d9 ff 61", ValueError, INCOMPLETE),
    ("bin 32 of 2**32-1", "c6 ff ff ff ff", ValueError, INCOMPLETE),
    ("bin 16", "c5 ff ff", ValueError, INCOMPLETE),
    ("bin 8", "c4 ff", ValueError, INCOMPLETE),
    ("ext 32 of 2**32-1", "c9 ff ff ff ff 05", ValueError, INCOMPLETE),
    ("ext 16", "c8 ff ff 05", ValueError, INCOMPLETE),
    ("ext 8", "c7 ff 05", ValueError, INCOMPLETE),
    ("1025 nested arrays", "91" * 1024 + "90", StackError, None),
    ("1025 nested maps", "81 a0" * 1024 + "80", StackError, None),
    ("a run of 0xc1", "c1" * 1000, FormatError, None),
    ("0xc1 deep inside", "91" * 500 + "c1", FormatError, None),
    ("many duplicate keys", "de 03 e8" + "a1 61 01" * 1000, None, None),
    ("unhashable keys", "82 91 01 01 91 02 02", ValueError,
     "list is not allowed for map key when strict_map_key=True"),
]


@pytest.mark.parametrize("name, wire, exc, message", HOSTILE, ids=[row[0] for row in HOSTILE])
def test_unpackb_refuses_within_bounds(name, wire, exc, message):
    data = h(wire)
    tracemalloc.start()
    try:
        if exc is None:
            assert unpackb(data) == {"a": 1}
        else:
            with pytest.raises(exc) as info:
                unpackb(data)
            if message is not None:
                assert str(info.value) == message
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 64 * len(data) + 64 * 1024, f"{name}: peak {peak} bytes"


def test_unhashable_keys_without_strict_keys():
    with pytest.raises(TypeError, match="unhashable"):
        unpackb(h("82 91 01 01 91 02 02"), strict_map_key=False)


@pytest.mark.parametrize("name, wire, exc, message", HOSTILE, ids=[row[0] for row in HOSTILE])
def test_unpacker_refuses_within_bounds(name, wire, exc, message):
    data = h(wire)
    u = Unpacker(max_buffer_size=4096)
    tracemalloc.start()
    try:
        u.feed(data)
        if exc is None:
            assert u.unpack() == {"a": 1}
        else:
            expected = OutOfData if message == INCOMPLETE else exc
            with pytest.raises(expected):
                u.unpack()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 64 * len(data) + 64 * 1024, f"{name}: peak {peak} bytes"


def test_stream_that_never_completes_is_bounded():
    u = Unpacker(max_buffer_size=1024)
    u.feed(h("db 7f ff ff ff"))
    with pytest.raises(OutOfData):
        u.unpack()
    with pytest.raises(BufferFull):
        for _ in range(2000):
            u.feed(b"a")
            with pytest.raises(OutOfData):
                u.unpack()


def test_source_that_never_completes_is_bounded():
    class Endless:
        def read(self, n):
            return b"\x91" * n

    with pytest.raises((StackError, BufferFull)):
        Unpacker(Endless(), max_buffer_size=1 << 16).unpack()

    class Padding:
        def __init__(self):
            self.first = True

        def read(self, n):
            if self.first:
                self.first = False
                return h("c6 7f ff ff ff")
            return b"x" * n

    with pytest.raises(BufferFull):
        Unpacker(Padding(), max_buffer_size=1 << 16).unpack()


@pytest.mark.parametrize("use_list", [True, False])
@pytest.mark.parametrize("streamed", [False, True])
def test_nested_headers_share_the_bytes_in_hand(use_list, streamed):
    # Each level announces as many items as the rest of the input holds; the
    # levels together must not reserve more than the input pays for once.
    levels, payload = 200, 50_000
    data = b"".join(b"\xdd" + (5 * (levels - k - 1) + payload).to_bytes(4, "big")
                    for k in range(levels)) + b"\xc0" * payload
    tracemalloc.start()
    try:
        if streamed:
            u = Unpacker(use_list=use_list)
            u.feed(data)
            with pytest.raises(OutOfData):
                u.unpack()
        else:
            with pytest.raises(ValueError, match="incomplete input"):
                unpackb(data, use_list=use_list)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # Once, not once per level: that was 200 times the input.
    assert peak < 64 * len(data) + 256 * 1024, f"peak {peak} bytes for {len(data)}"
