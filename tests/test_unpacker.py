"""The streaming Unpacker: buffering, sources, resumption, state tables and re-entry."""

import array
import io
import os
import socket
import subprocess
import sys
import sysconfig
import threading

import pytest

from conftest import h, run_threads
from quoril import (BufferFull, ExtType, FormatError, OutOfData, StackError, Timestamp, Unpacker,
                    packb, unpackb)

SWITCH = "Cannot switch unpacking methods while an object is incomplete"

STREAM_OBJECTS = [
    0, -1, 2**40, -(2**40), 1.5, None, True, False, "", "short", "x" * 40, "\u00e9t\u00e9" * 30,
    b"", b"bin" * 100, [], [1, [2, [3, {}]]], {"a": {"b": [1, 2, "c"]}, "d": b"e"},
    ExtType(7, b"payload"), Timestamp(1, 2), Timestamp(2**40, 999), list(range(20)),
    {f"k{i}": i for i in range(20)}, "y" * 300,
]
STREAM = b"".join(packb(o) for o in STREAM_OBJECTS)


class Source:
    """A file-like source returning at most `chunk` bytes per read."""

    def __init__(self, data, chunk=None):
        self.data = memoryview(data)
        self.chunk = chunk
        self.calls = []

    def read(self, n):
        self.calls.append(n)
        take = n if self.chunk is None else min(n, self.chunk)
        out, self.data = bytes(self.data[:take]), self.data[take:]
        return out


def test_new_unpacker_is_empty():
    u = Unpacker()
    with pytest.raises(OutOfData) as info:
        u.unpack()
    assert info.value.args == ("No more data to unpack.",)
    with pytest.raises(StopIteration) as stop:
        next(u)
    assert stop.value.args == ("No more data to unpack.",)
    assert list(u) == [] and u.tell() == 0


@pytest.mark.parametrize("piece", [1, 2, 3, 5, 7, 16, 64, 1000, len(STREAM)])
def test_resumes_at_every_split(piece):
    u = Unpacker()
    got = []
    for i in range(0, len(STREAM), piece):
        u.feed(STREAM[i:i + piece])
        got.extend(u)
    assert got == [unpackb(packb(o)) for o in STREAM_OBJECTS]
    assert u.tell() == len(STREAM)


@pytest.mark.parametrize("read_size", [1, 3, 64, 4096])
def test_source_with_small_reads(read_size):
    u = Unpacker(Source(STREAM), read_size=read_size)
    assert list(u) == [unpackb(packb(o)) for o in STREAM_OBJECTS]
    assert u.tell() == len(STREAM)


@pytest.mark.parametrize("piece", [1, 4, 33])
def test_skip_and_headers_follow_the_stream(piece):
    u = Unpacker()
    wire = packb([1, 2]) + packb({"a": 1}) + packb("skipped") + packb([3])
    results = []
    steps = [u.read_array_header, u.unpack, u.unpack, u.read_map_header, u.unpack, u.unpack,
             u.skip, u.unpack]
    pending = list(steps)
    for i in range(0, len(wire), piece):
        u.feed(wire[i:i + piece])
        while pending:
            try:
                results.append(pending[0]())
            except OutOfData:
                break
            pending.pop(0)
    assert results == [2, 1, 2, 1, "a", 1, None, [3]]


def test_state_table():
    u = Unpacker()
    u.feed(b"\x93\x01\x02")
    with pytest.raises(OutOfData):
        u.unpack()
    assert u.tell() == 3
    for call in (u.skip, u.read_array_header, u.read_map_header, lambda: u.read_bytes(1)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == SWITCH
    u.feed(b"\x03")
    assert next(u) == [1, 2, 3] and u.tell() == 4

    u = Unpacker()
    u.feed(b"\x01\x02\x93")
    assert list(u) == [1, 2] and u.tell() == 3

    u = Unpacker()
    u.feed(b"\x01")
    with pytest.raises(ValueError, match="^Unexpected type header on stream$"):
        u.read_array_header()
    assert u.tell() == 0 and u.unpack() == 1

    u = Unpacker()
    u.feed(b"\xdc\x00")
    with pytest.raises(OutOfData):
        u.read_array_header()
    assert u.tell() == 0
    with pytest.raises(ValueError, match=SWITCH):
        u.unpack()
    u.feed(b"\x05")
    assert u.read_array_header() == 5 and u.tell() == 3

    u = Unpacker()
    u.feed(b"\x82\xa1a\x01\xa1b\x02")
    assert u.read_map_header() == 2
    assert [u.unpack() for _ in range(4)] == ["a", 1, "b", 2]

    u = Unpacker()
    u.feed(b"\x92\x01\x02\x03")
    assert u.skip() is None and u.tell() == 3 and u.unpack() == 3


@pytest.mark.parametrize(
    "wire, exc, tell_after, next_value",
    [
        ("c1", FormatError, 0, None),
        ("92 01 c1", FormatError, 2, None),
        ("91" * 1024 + "90", StackError, 1024, None),
        # a value that fails to build takes its whole item with it
        ("81 01 02 05", ValueError, 3, 5),
        ("a1 ff 07", UnicodeDecodeError, 2, 7),
        ("92 a1 ff 07 08", UnicodeDecodeError, 4, 8),
    ],
)
def test_failure_table(wire, exc, tell_after, next_value):
    u = Unpacker()
    u.feed(h(wire))
    with pytest.raises(exc) as info:
        u.unpack()
    assert type(info.value) is exc
    if exc in (FormatError, StackError):
        assert info.value.args == ()
    assert u.tell() == tell_after
    if next_value is not None:
        assert u.unpack() == next_value  # at rest again: any operation may follow
    else:
        with pytest.raises(exc):  # malformed input stays where it failed
            u.unpack()
        assert u.tell() == tell_after


def test_malformed_byte_stays_unread():
    u = Unpacker()
    u.feed(b"\xc1")
    for _ in range(2):
        with pytest.raises(FormatError):
            u.unpack()
    assert u.tell() == 0 and u.read_bytes(1) == b"\xc1"


def test_read_bytes():
    u = Unpacker()
    u.feed(b"abcdef")
    assert u.read_bytes(4) == b"abcd" and u.tell() == 4
    assert u.read_bytes(10) == b"ef" and u.tell() == 6
    assert u.read_bytes(0) == b"" and u.tell() == 6
    with pytest.raises(ValueError, match="nbytes must not be negative"):
        u.read_bytes(-1)
    assert u.tell() == 6

    u = Unpacker(Source(b"\x01\x02\x03"), read_size=1)
    assert u.read_bytes(2) == b"\x01\x02"
    assert u.unpack() == 3
    with pytest.raises(OutOfData):
        u.unpack()


class Failing:
    def __init__(self):
        self.fail = False
        self.data = b"\x01\x02\x03"

    def read(self, n):
        if self.fail:
            raise OSError("source failed")
        out, self.data = self.data[:n], self.data[n:]
        return out


class NotBytes(Failing):
    def read(self, n):
        return None if self.fail else super().read(n)


def test_read_bytes_failure_keeps_the_bytes():
    src = Failing()
    u = Unpacker(src, read_size=2)
    assert u.unpack() == 1  # buffers b"\x02"
    src.fail = True
    with pytest.raises(OSError):
        u.read_bytes(3)
    assert u.tell() == 1
    src.fail = False
    assert u.read_bytes(2) == b"\x02\x03" and u.tell() == 3

    src = NotBytes()
    u = Unpacker(src, read_size=2)
    assert u.unpack() == 1
    src.fail = True
    with pytest.raises(TypeError):
        u.read_bytes(5)
    assert u.tell() == 1
    src.fail = False
    assert u.unpack() == 2


@pytest.mark.parametrize(
    "kwargs, wire, message",
    [
        ({}, "df 03 20 00 01", "52428801 exceeds max_map_len(52428800)"),
        ({}, "dd 06 40 00 01", "104857601 exceeds max_array_len(104857600)"),
        ({"max_buffer_size": 0}, "df 40 00 00 00", "1073741824 exceeds max_map_len(1073741823)"),
        ({"max_buffer_size": 10}, "86", "6 exceeds max_map_len(5)"),
        ({"max_buffer_size": 10}, "9b", "11 exceeds max_array_len(10)"),
        ({"max_buffer_size": 10, "max_array_len": 2}, "93", "3 exceeds max_array_len(2)"),
        ({"max_str_len": -2}, "a0", "0 exceeds max_str_len(-2)"),
    ],
)
def test_derived_limits(kwargs, wire, message):
    u = Unpacker(**kwargs)
    u.feed(h(wire))
    with pytest.raises(ValueError) as info:
        u.unpack()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, first_read",
    [({}, 1048576), ({"max_buffer_size": 10}, 10), ({"read_size": 7}, 7),
     ({"max_buffer_size": 0}, 1048576)],
)
def test_read_size_rule(kwargs, first_read):
    src = Source(b"\x01")
    assert list(Unpacker(src, **kwargs)) == [1]
    assert src.calls[0] == first_read


def test_read_size_against_max_buffer_size():
    with pytest.raises(ValueError, match="^read_size should be less or equal to max_buffer_size$"):
        Unpacker(read_size=11, max_buffer_size=10)
    Unpacker(read_size=10, max_buffer_size=10)
    with pytest.raises(ValueError, match="read_size should be less"):
        Unpacker(max_buffer_size=-1)
    u = Unpacker(max_buffer_size=10)
    u.feed(b"x" * 10)
    with pytest.raises(BufferFull):
        u.feed(b"y")


def test_buffer_compaction_and_growth():
    u = Unpacker(max_buffer_size=16)
    u.feed(b"\x01" * 10)
    for _ in range(6):
        u.unpack()
    u.feed(b"\x02" * 12)  # 4 unread + 12 fit after compaction
    with pytest.raises(BufferFull):
        u.feed(b"\x03")
    assert [u.unpack() for _ in range(16)] == [1] * 4 + [2] * 12

    u = Unpacker(max_buffer_size=100, read_size=8)
    u.feed(b"\x00" * 5)
    u.feed(b"\x00" * 10)
    u.feed(b"\x00" * 20)
    u.feed(b"\x00" * 50)
    with pytest.raises(BufferFull):
        u.feed(b"\x00" * 16)
    assert len(list(u)) == 85


def test_bin_larger_than_the_buffer():
    u = Unpacker(Source(b"\xc4\x05hello"), max_buffer_size=4)
    with pytest.raises(BufferFull):
        u.unpack()
    assert u.tell() == 2


def test_feed_rules():
    u = Unpacker()
    assert u.feed(b"") is None
    with pytest.raises(TypeError):
        u.feed("text")
    with pytest.raises(BufferError, match="^cannot unpack from multi-byte object$"):
        u.feed(array.array("i", [1]))
    u.feed(bytearray(b"\x01"))
    u.feed(memoryview(b"\x02\x00")[::2])
    assert list(u) == [1, 2]
    src = Unpacker(Source(b"\x01"))
    with pytest.raises(AssertionError, match="^unpacker.feed\\(\\) is not be able to use with `file_like`.$"):
        src.feed(b"")
    assert src.unpack() == 1
    with pytest.raises(OutOfData):
        src.unpack()
    src.feed(b"\x02")  # the source has ended: feeding is allowed now
    assert src.unpack() == 2
    with pytest.raises(BufferFull):
        Unpacker.__new__(Unpacker).feed(b"\x01")


class NotCallableRead:
    read = 5


class ByteArraySource:
    def read(self, n):
        return bytearray(b"\x01")


class Generous:
    """Returns more than asked, once."""

    def __init__(self):
        self.sent = False

    def read(self, n):
        if self.sent:
            return b""
        self.sent = True
        return b"\x01" * (n + 5)


def test_source_rules():
    with pytest.raises(AttributeError):
        Unpacker(object())
    with pytest.raises(TypeError, match="^`file_like.read` must be a callable.$"):
        Unpacker(NotCallableRead())
    with pytest.raises(TypeError):
        Unpacker(ByteArraySource()).unpack()

    assert list(Unpacker(Generous(), read_size=4)) == [1] * 9
    with pytest.raises(BufferFull):
        Unpacker(Generous(), read_size=4, max_buffer_size=4).unpack()


def test_source_ending_inside_an_object():
    u = Unpacker(Source(b"\x01\x92\x01"))
    assert list(u) == [1]
    with pytest.raises(ValueError, match=SWITCH):
        u.skip()


def test_reinit_discards_partial_object():
    u = Unpacker()
    u.feed(b"\x92\x01")
    with pytest.raises(OutOfData):
        u.unpack()
    u.__init__()
    assert u.tell() == 0
    u.feed(b"\x05")
    assert u.unpack() == 5


def test_failed_init_leaves_an_empty_unpacker():
    u = Unpacker(object_hook=lambda d: "hooked")
    u.feed(b"\x80")
    with pytest.raises(TypeError):
        u.__init__(object_hook=lambda d: d, list_hook=5)
    with pytest.raises(OutOfData):
        u.unpack()
    with pytest.raises(BufferFull):
        u.feed(b"\x80")
    u.__init__()
    u.feed(b"\x80")
    assert u.unpack() == {}


def test_options():
    u = Unpacker(use_list=False, raw=True, strict_map_key=False, timestamp=2,
                 ext_hook=lambda c, d: (c, d))
    u.feed(packb([{1: "a"}, Timestamp(1, 5), ExtType(3, b"z")]))
    assert u.unpack() == ({1: b"a"}, 1_000_000_005, (3, b"z"))
    u = Unpacker(object_pairs_hook=list, unicode_errors="replace")
    u.feed(h("81 a1 61 a1 ff"))
    assert u.unpack() == [("a", "\ufffd")]
    u = Unpacker(ext_hook=None)
    u.feed(h("d4 01 00"))
    with pytest.raises(AssertionError):
        u.unpack()
    with pytest.raises(TypeError, match="mutually exclusive"):
        Unpacker(object_hook=len, object_pairs_hook=len)
    with pytest.raises(UnicodeEncodeError):
        Unpacker(unicode_errors="\u00e9")
    with pytest.raises(TypeError):
        Unpacker(unicode_errors=1)


@pytest.mark.tsan
def test_reentry_from_hooks():
    u = Unpacker()
    seen = []

    def hook(value):
        for call, message in (
            (u.unpack, "Unpacker cannot be called recursively while unpacking is in progress"),
            (u.skip, "Unpacker cannot be called recursively while unpacking is in progress"),
            (lambda: next(u), "Unpacker cannot be called recursively while unpacking is in progress"),
            (lambda: u.feed(b"\x01"), "Unpacker.feed() cannot be called while unpacking is in progress"),
            (lambda: u.read_bytes(1),
             "Unpacker.read_bytes() cannot be called while unpacking is in progress"),
            (u.__init__, "Unpacker.__init__() cannot be called while unpacking is in progress"),
        ):
            with pytest.raises(RuntimeError) as info:
                call()
            seen.append(str(info.value) == message)
        seen.append(u.tell())
        return value

    u.__init__(object_hook=hook)
    u.feed(b"\x01\x81\xa1a\x02\x03")
    assert u.unpack() == 1
    assert u.unpack() == {"a": 2}
    assert seen == [True] * 6 + [1]
    assert u.unpack() == 3 and u.tell() == 6


@pytest.mark.tsan
def test_two_threads_on_one_unpacker():
    entered = threading.Event()
    tried = threading.Event()
    outcome = {}

    def hook(value):
        entered.set()
        assert tried.wait(10)
        return value

    u = Unpacker(list_hook=hook)

    def other():
        assert entered.wait(10)
        try:
            outcome["other"] = u.unpack()
        except (RuntimeError, OutOfData) as exc:
            outcome["other"] = type(exc).__name__
        finally:
            tried.set()

    u.feed(packb([1, 2]) + packb("after"))
    t = threading.Thread(target=other)
    t.start()
    assert u.unpack() == [1, 2]
    t.join()
    assert outcome["other"] in ("RuntimeError", "after")
    if outcome["other"] == "RuntimeError":
        assert u.unpack() == "after"


@pytest.mark.tsan
def test_separate_unpackers_in_threads():
    wire = STREAM * 5
    expected = [unpackb(packb(o)) for o in STREAM_OBJECTS] * 5

    def work(tid):
        for _ in range(10):
            u = Unpacker()
            got = []
            for i in range(0, len(wire), 17 + tid):
                u.feed(wire[i:i + 17 + tid])
                got.extend(u)
            assert got == expected

    run_threads(4, work)


def test_real_sources(tmp_path, bench_docs):
    path = tmp_path / "docs.bin"
    docs = list(bench_docs.values())
    with open(path, "wb") as f:
        for doc in docs:
            f.write(packb(doc))
    with open(path, "rb") as f:
        assert list(Unpacker(f)) == docs
    assert list(Unpacker(io.BytesIO(path.read_bytes()), read_size=1000)) == docs


def test_socket_source():
    left, right = socket.socketpair()
    payload = b"".join(packb({"n": i, "pad": "x" * i}) for i in range(300))

    def send():
        with right:
            for i in range(0, len(payload), 777):
                right.sendall(payload[i:i + 777])

    t = threading.Thread(target=send)
    t.start()
    with left, left.makefile("rb") as f:
        got = list(Unpacker(f, read_size=512))
    t.join()
    assert got == [{"n": i, "pad": "x" * i} for i in range(300)]


def test_subprocess_pipe():
    code = ("import sys, quoril\n"
            "for i in range(100): sys.stdout.buffer.write(quoril.packb([i, str(i)]))\n")
    with subprocess.Popen([sys.executable, "-P", "-c", code], stdout=subprocess.PIPE) as proc:
        got = list(Unpacker(proc.stdout, read_size=64))
    assert proc.returncode == 0
    assert got == [[i, str(i)] for i in range(100)]


class Hook:
    def __call__(self, value):
        return value


def test_gc_clearing_breaks_cycles():
    import gc
    import weakref

    hook = Hook()
    u = Unpacker(object_hook=hook)
    hook.u = u
    ref = weakref.ref(hook)
    del u, hook
    gc.collect()
    assert ref() is None


def test_docstrings():
    assert Unpacker.feed.__doc__ == (
        "Unpacker.feed(self, next_bytes)\n\nAppend `next_bytes` to internal buffer.")
    assert Unpacker.tell.__doc__.startswith("Unpacker.tell(self)\n\nReturns the current position")
    assert Unpacker.read_map_header.__doc__.endswith(
        "Raises `OutOfData` when there are no more bytes to unpack.")


class FaultySource:
    """Serves `data`, misbehaving once, at read number `at`."""

    def __init__(self, data, fault, at):
        self.data, self.fault, self.at, self.calls = data, fault, at, 0

    def read(self, n):
        call, self.calls = self.calls, self.calls + 1
        if call == self.at:
            if self.fault == "raise":
                raise OSError("read failed")
            if self.fault == "non-bytes":
                return bytearray(self.data[:n])  # refused, and nothing is taken
            if self.fault == "short":
                n = 1
            if self.fault == "oversized":
                n += 10
        out, self.data = self.data[:n], self.data[n:]
        return out


FAULT_OBJECTS = [[1, "two", {"three": b"3"}], "x" * 20, {"k": [None] * 5}, 2**40, 7]


@pytest.mark.parametrize("fault", ["raise", "non-bytes", "short", "oversized"])
def test_source_faults_at_every_read(fault):
    assert_reads_survive(FAULT_OBJECTS, fault, read_size=3)


def assert_reads_survive(objects, fault, read_size):
    """A source failing at each read in turn: reading again yields every object once."""
    stream = b"".join(packb(o) for o in objects)
    for at in range(len(stream) // read_size + 2):
        u = Unpacker(FaultySource(stream, fault, at), read_size=read_size)
        got = []
        for _attempt in range(3):
            try:
                got.extend(u)
                break
            except (OSError, TypeError):
                assert fault in ("raise", "non-bytes")
        assert got == objects, (fault, at)
        assert u.tell() == len(stream)


# Large bin payloads are filled straight from the input rather than through the buffer.
BIG = bytes(range(256)) * 1024  # 256 KiB
BIG_ITEMS = [BIG, [b"a", BIG[:70_000], "z"], {"k": BIG[:20_000], "n": 1}, 5]
BIG_STREAM = b"".join(packb(o) for o in BIG_ITEMS)
BIG_ENDS = [sum(len(packb(o)) for o in BIG_ITEMS[:i + 1]) for i in range(len(BIG_ITEMS))]


@pytest.mark.parametrize("piece", [1, 999, 16_384, 65_536, len(BIG_STREAM)])
def test_large_payloads_fed_in_pieces(piece):
    u = Unpacker(max_buffer_size=0)
    got, ends = [], []
    for i in range(0, len(BIG_STREAM), piece):
        u.feed(BIG_STREAM[i:i + piece])
        for obj in u:
            got.append(obj)
            ends.append(u.tell())
    assert got == BIG_ITEMS
    assert ends == BIG_ENDS


@pytest.mark.parametrize("read_size", [1, 4096, 70_000, 1 << 20])
@pytest.mark.parametrize("chunk", [None, 3, 50_000])
def test_large_payloads_from_a_source(read_size, chunk):
    source = io.BytesIO(BIG_STREAM) if chunk is None else Source(BIG_STREAM, chunk)
    assert list(Unpacker(source, read_size=read_size)) == BIG_ITEMS


def test_large_payload_tell_stays_at_its_start_until_complete():
    data = packb(BIG)  # c6 00 04 00 00, then the payload
    u = Unpacker(max_buffer_size=0)
    u.feed(data[:100_000])
    with pytest.raises(OutOfData):
        u.unpack()
    assert u.tell() == 5
    with pytest.raises(ValueError, match=SWITCH):
        u.read_bytes(1)
    u.feed(data[100_000:-1])
    with pytest.raises(OutOfData):
        u.unpack()
    assert u.tell() == 5
    u.feed(data[-1:])
    assert u.unpack() == BIG
    assert u.tell() == len(data)


@pytest.mark.parametrize("options, exc, message", [
    ({"max_bin_len": 100_000}, ValueError, "262144 exceeds max_bin_len\\(100000\\)"),
    ({"max_buffer_size": 100_000}, BufferFull, None),
])
def test_large_payload_limits_still_hold(options, exc, message):
    u = Unpacker(**options)
    data = packb(BIG)
    with pytest.raises(exc, match=message):
        for i in range(0, len(data), 50_000):
            u.feed(data[i:i + 50_000])
            list(u)


class OverReading:
    """A source whose read returns more than it was asked for."""

    def __init__(self, data):
        self.data = data

    def read(self, n):
        out, self.data = self.data[:n + 7], self.data[n + 7:]
        return out


def test_large_payload_from_a_source_that_over_reads():
    assert list(Unpacker(OverReading(BIG_STREAM), read_size=1000)) == BIG_ITEMS


def test_reinit_drops_a_half_filled_payload():
    u = Unpacker(max_buffer_size=0)
    u.feed(packb(BIG)[:100_000])
    with pytest.raises(OutOfData):
        u.unpack()
    u.__init__()
    u.feed(packb([1, BIG]))
    assert u.unpack() == [1, BIG]
    assert u.tell() == len(packb([1, BIG]))


def test_skipping_a_large_payload_in_pieces():
    u = Unpacker()
    data = packb(BIG) + packb(7)
    for i in range(0, len(data), 10_000):
        u.feed(data[i:i + 10_000])
    u.skip()
    assert u.unpack() == 7


@pytest.mark.thread_unsafe(reason="measures process-wide memory with tracemalloc")
def test_large_payload_is_not_buffered_whole():
    import tracemalloc

    payload = os.urandom(8 << 20)
    data = packb(payload)
    pieces = [data[i:i + 65_536] for i in range(0, len(data), 65_536)]
    u = Unpacker(max_buffer_size=0, read_size=65_536)
    tracemalloc.start()
    try:
        for piece in pieces:
            u.feed(piece)
            for got in u:
                pass
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert got == payload
    # The result and a piece or two; buffering the payload too would double it.
    assert peak < len(payload) + (1 << 20)


@pytest.mark.parametrize("read_size", [1000, 16_384, 65_536])
def test_large_payload_reads_ask_at_most_read_size(read_size):
    source = Source(BIG_STREAM)
    assert list(Unpacker(source, read_size=read_size)) == BIG_ITEMS
    assert max(source.calls) <= read_size


def test_feed_refused_inside_a_large_payload_appends_nothing():
    # The payload would take the head of the data, but the rest overflows the
    # buffer: the whole feed is refused, and feeding it again in pieces works.
    data = packb(BIG[:25_600])
    rest = data[1000:] + packb(b"x" * 29_000) + b"\x01" * 2000
    u = Unpacker(max_buffer_size=30_000)
    u.feed(data[:1000])
    with pytest.raises(OutOfData):
        u.unpack()
    with pytest.raises(BufferFull):
        u.feed(rest)
    got = []
    for i in range(0, len(rest), 5000):
        u.feed(rest[i:i + 5000])
        got.extend(u)
    assert got == [BIG[:25_600], b"x" * 29_000] + [1] * 2000
    assert u.tell() == 1000 + len(rest)


@pytest.mark.parametrize("limit", [-2, 20_000])
def test_large_payload_over_max_bin_len_is_refused(limit):
    data = packb(BIG[:30_000]) + packb(7)
    u = Unpacker(max_bin_len=limit)
    u.feed(data[:1000])
    with pytest.raises(OutOfData):
        u.unpack()
    u.feed(data[1000:])
    with pytest.raises(ValueError, match=f"30000 exceeds max_bin_len\\({limit}\\)"):
        u.unpack()
    assert u.unpack() == 7


@pytest.mark.parametrize("n", [16_383, 16_384, 16_385])
@pytest.mark.parametrize("buffered", [0, 1, "all but one"])
def test_payload_at_the_direct_fill_boundary(n, buffered):
    payload = bytes(range(256)) * (n // 256) + bytes(n % 256)
    data = packb(["a", payload]) + packb(3)
    start = len(packb(["a", payload])) - n  # where the payload begins
    cut = start + (n - 1 if buffered == "all but one" else buffered)
    u = Unpacker()
    got, ends = [], []
    for piece in (data[:cut], data[cut:start + n - 1], data[start + n - 1:start + n], data[start + n:]):
        u.feed(piece)
        for obj in u:
            got.append(obj)
            ends.append(u.tell())
        if not got:
            assert u.tell() == start
    assert got == [["a", payload], 3]
    assert ends == [start + n, len(data)]


FAILING_UNPACKER_ALLOCATIONS = """
import _testcapi
from quoril import Unpacker, OutOfData, packb
big = bytes(range(256)) * 160
items = [[b"a", big], big[:20000], 7]
data = b"".join(packb(o) for o in items)
pieces = [data[i:i + 9000] for i in range(0, len(data), 9000)]
for k in range(1, 120):
    u = Unpacker(read_size=4096)
    got = []
    _testcapi.set_nomemory(k, k + 1)
    try:
        for piece in pieces:
            while True:
                try:
                    u.feed(piece)
                    break
                except MemoryError:
                    _testcapi.remove_mem_hooks()
            while True:
                try:
                    got.append(u.unpack())
                except OutOfData:
                    break
                except MemoryError:
                    _testcapi.remove_mem_hooks()  # an item may be dropped, none altered
    finally:
        _testcapi.remove_mem_hooks()
    it = iter(items)
    assert all(any(g == o for o in it) for g in got), k
    assert u.tell() == len(data), k
print("ok")
"""


@pytest.mark.no_refleak(reason="a child process per run")
@pytest.mark.thread_unsafe(reason="runs a child interpreter")
@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="3.13t PyList_New frees a list with stale items when its array "
                           "cannot be allocated, so failed allocations crash CPython itself")
def test_failed_allocations_around_large_payloads():
    pytest.importorskip("_testcapi")
    from conftest import run_child

    assert run_child(FAILING_UNPACKER_ALLOCATIONS).strip() == "ok"


@pytest.mark.parametrize("fault", ["raise", "non-bytes", "short", "oversized"])
def test_source_faults_at_every_read_of_a_large_payload(fault):
    assert_reads_survive([[b"a", BIG[:40_000]], 7], fault, read_size=5000)


class ReenteringSource:
    """A source whose read calls back into its Unpacker before answering."""

    # At module level: a class made per run of a test drifts the free-threaded
    # build's reference totals once any thread has run, which the leak hunt reads as a leak.
    def __init__(self, data, refused):
        self.data = data
        self.refused = refused
        self.unpacker = None

    def read(self, n):
        u = self.unpacker
        for call in (u.unpack, lambda: u.feed(b"x"), u.__init__, lambda: u.read_bytes(1)):
            with pytest.raises((RuntimeError, AssertionError)):
                call()
            self.refused.append(call)
        self.refused.append(u.tell())
        out, self.data = self.data[:n], self.data[n:]
        return out


def test_source_reentering_while_a_large_payload_fills():
    data = packb(BIG[:40_000]) + packb(7)
    refused = []
    source = ReenteringSource(data, refused)
    u = source.unpacker = Unpacker(source, read_size=7000)
    assert list(u) == [BIG[:40_000], 7]
    assert u.tell() == len(data)
    assert 3 in refused  # after the header: the payload counts once complete
