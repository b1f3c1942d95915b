"""One-shot decoding: the wire forms, limits, hooks, timestamps and every failure."""

import array
import datetime
import sys

import pytest

from conftest import FREE_THREADED, h
from quoril import (ExtType, ExtraData, FormatError, StackError, Timestamp, Unpacker, packb,
                    unpackb)

UTC = datetime.timezone.utc

DECODED = [
    ("00", 0), ("7f", 127), ("ff", -1), ("e0", -32), ("c0", None), ("c2", False), ("c3", True),
    ("cc ff", 255), ("cd 01 02", 258), ("ce ff ff ff ff", 2**32 - 1),
    ("cf ff ff ff ff ff ff ff ff", 2**64 - 1), ("d0 80", -128), ("d1 80 00", -32768),
    ("d2 80 00 00 00", -(2**31)), ("d3 80 00 00 00 00 00 00 00", -(2**63)),
    ("d0 7f", 127), ("d3 7f ff ff ff ff ff ff ff", 2**63 - 1),
    ("ca 3f c0 00 00", 1.5), ("cb 3f f8 00 00 00 00 00 00", 1.5),
    ("ca 3d cc cc cd", 0.10000000149011612),
    ("a0", ""), ("a1 61", "a"), ("d9 00", ""), ("d9 01 61", "a"), ("da 00 01 61", "a"),
    ("db 00 00 00 01 61", "a"), ("a2 c3 a9", "\u00e9"),
    ("c4 00", b""), ("c4 01 61", b"a"), ("c5 00 01 61", b"a"), ("c6 00 00 00 01 61", b"a"),
    ("90", []), ("91 01", [1]), ("dc 00 01 01", [1]), ("dd 00 00 00 01 01", [1]),
    ("80", {}), ("81 a1 61 01", {"a": 1}), ("de 00 01 a1 61 01", {"a": 1}),
    ("df 00 00 00 01 a1 61 01", {"a": 1}), ("82 a1 61 01 a1 61 02", {"a": 2}),
    ("92 91 90 80", [[[]], {}]),
    ("d4 05 61", ExtType(5, b"a")), ("d5 05 61 62", ExtType(5, b"ab")),
    ("d6 05 61 62 63 64", ExtType(5, b"abcd")), ("d7 05" + " 61" * 8, ExtType(5, b"a" * 8)),
    ("d8 05" + " 61" * 16, ExtType(5, b"a" * 16)), ("c7 00 05", ExtType(5, b"")),
    ("c7 01 fb 61", ExtType(-5, b"a")), ("c8 00 01 05 61", ExtType(5, b"a")),
    ("c9 00 00 00 01 05 61", ExtType(5, b"a")),
    ("d6 ff 00 00 00 00", Timestamp(0, 0)),
    ("d7 ff ee 6b 27 fc 00 00 00 01", Timestamp(1, 999999999)),
    ("c7 0c ff 00 00 01 f4 ff ff ff ff ff ff ff ff", Timestamp(-1, 500)),
]


@pytest.mark.parametrize("wire, value", DECODED)
def test_decode(wire, value):
    result = unpackb(h(wire))
    assert result == value and type(result) is type(value)


def test_long_forms():
    assert unpackb(h("da 01 00") + b"x" * 256) == "x" * 256
    assert unpackb(h("db 00 01 00 00") + b"x" * 65536) == "x" * 65536
    assert unpackb(h("dc 00 10") + b"\x00" * 16) == [0] * 16
    assert unpackb(h("c5 01 00") + b"x" * 256) == b"x" * 256


def nested_arrays(depth):
    return b"\x91" * (depth - 1) + b"\x90"


def test_nesting():
    value = unpackb(nested_arrays(1024))
    for _ in range(1023):
        value = value[0]
    assert value == []
    with pytest.raises(StackError) as info:
        unpackb(nested_arrays(1025))
    assert info.value.args == ()
    with pytest.raises(StackError):
        unpackb(b"\x81\xa0" * 1024 + b"\x80")


@pytest.mark.parametrize(
    "wire, exc, message",
    [
        ("", ValueError, "Unpack failed: incomplete input"),
        ("92 01", ValueError, "Unpack failed: incomplete input"),
        ("d9 05 61 62", ValueError, "Unpack failed: incomplete input"),
        ("cd 01", ValueError, "Unpack failed: incomplete input"),
        ("c1", FormatError, None),
        ("92 01 c1", FormatError, None),
        ("dd ff ff ff ff", ValueError, "4294967295 exceeds max_array_len(5)"),
        ("df ff ff ff ff", ValueError, "4294967295 exceeds max_map_len(2)"),
        ("82 a0", ValueError, "2 exceeds max_map_len(1)"),
        ("db ff ff ff ff", ValueError, "Unpack failed: incomplete input"),
        ("c9 ff ff ff ff 01", ValueError, "Unpack failed: incomplete input"),
        ("a1 ff", UnicodeDecodeError, None),
        ("81 01 02", ValueError, "int is not allowed for map key when strict_map_key=True"),
        ("81 c0 02", ValueError, "NoneType is not allowed for map key when strict_map_key=True"),
        ("c7 05 ff 00 00 00 00 00", ValueError, "invalid timestamp data (length 5)"),
        ("d7 ff ee 6b 28 00 00 00 00 00", ValueError,
         "nanoseconds must be a non-negative integer not greater than 999999999."),
    ],
)
def test_failures(wire, exc, message):
    with pytest.raises(exc) as info:
        unpackb(h(wire))
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    if exc in (FormatError, StackError):
        assert info.value.args == ()


def test_format_and_stack_errors_are_value_errors():
    assert issubclass(FormatError, ValueError) and issubclass(StackError, ValueError)


def test_extra_data():
    with pytest.raises(ExtraData) as info:
        unpackb(h("01 02"))
    assert info.value.unpacked == 1 and info.value.extra == b"\x02"
    assert info.value.args == (1, b"\x02")
    with pytest.raises(ValueError):
        unpackb(h("90 90 90"))


def test_limits():
    assert unpackb(h("a3 61 62 63"), max_str_len=3) == "abc"
    with pytest.raises(ValueError, match=r"^4 exceeds max_str_len\(3\)$"):
        unpackb(h("a4 61 62 63 64"), max_str_len=3)
    with pytest.raises(ValueError, match=r"^0 exceeds max_str_len\(-2\)$"):
        unpackb(h("a0"), max_str_len=-2)
    assert unpackb(h("a0"), max_str_len=-1) == ""
    with pytest.raises(ValueError, match=r"^2 exceeds max_bin_len\(1\)$"):
        unpackb(h("c4 02 61 62"), max_bin_len=1)
    with pytest.raises(ValueError, match=r"^2 exceeds max_array_len\(1\)$"):
        unpackb(h("92 01 02"), max_array_len=1)
    with pytest.raises(ValueError, match=r"^1 exceeds max_map_len\(0\)$"):
        unpackb(h("81 a0 01"), max_map_len=0)
    with pytest.raises(ValueError, match=r"^5 exceeds max_ext_len\(3\)$"):
        unpackb(h("d6 05 00 00 00 00"), max_ext_len=3)
    assert unpackb(h("d6 05 00 00 00 00"), max_ext_len=4) == ExtType(5, b"\0\0\0\0")
    # a huge skipped item is never limited, a huge item is refused before allocation
    with pytest.raises(ValueError, match="exceeds max_array_len"):
        unpackb(h("dd 7f ff ff ff") + b"\x00" * 100)


def test_raw_and_unicode_errors():
    assert unpackb(h("81 a1 61 a1 62"), raw=True) == {b"a": b"b"}
    assert unpackb(h("a1 ff"), unicode_errors="replace") == "\ufffd"
    assert unpackb(h("a1 ff"), unicode_errors=b"ignore") == ""
    with pytest.raises(UnicodeEncodeError):
        unpackb(h("a1 61"), unicode_errors="\u00e9")
    with pytest.raises(TypeError):
        unpackb(h("a1 61"), unicode_errors=1)


def test_use_list_and_map_keys():
    assert unpackb(h("92 01 92 02 03"), use_list=False) == (1, (2, 3))
    assert unpackb(h("81 01 02"), strict_map_key=False) == {1: 2}
    with pytest.raises(TypeError, match="unhashable"):
        unpackb(h("81 91 01 02"), strict_map_key=False)
    assert unpackb(h("81 91 01 02"), strict_map_key=False, use_list=False) == {(1,): 2}
    assert unpackb(h("81 c4 01 61 01")) == {b"a": 1}


def test_hooks_run_innermost_first():
    order = []

    def list_hook(value):
        order.append(("list", value))
        return tuple(value)

    def object_hook(value):
        order.append(("map", value))
        return sorted(value.items())

    wire = packb({"k": [1, [2]], "e": []})
    result = unpackb(wire, list_hook=list_hook, object_hook=object_hook)
    assert result == [("e", ()), ("k", (1, (2,)))]
    assert order == [("list", [2]), ("list", [1, (2,)]), ("list", []),
                     ("map", {"k": (1, (2,)), "e": ()})]
    assert unpackb(h("93 90 91 01 90"), list_hook=len) == 3
    assert unpackb(h("80"), object_hook=lambda d: "empty") == "empty"


def test_object_pairs_hook():
    assert unpackb(h("82 a1 61 01 a1 61 02"), object_pairs_hook=lambda p: p) == [
        ("a", 1), ("a", 2)]
    assert unpackb(h("80"), object_pairs_hook=list) == []


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"object_hook": len, "object_pairs_hook": len}, TypeError,
         "object_pairs_hook and object_hook are mutually exclusive."),
        ({"object_hook": 1}, TypeError, "object_hook must be a callable."),
        ({"object_pairs_hook": 1}, TypeError, "object_pairs_hook must be a callable."),
        ({"list_hook": 1}, TypeError, "list_hook must be a callable."),
        ({"ext_hook": 1}, TypeError, "ext_hook must be a callable."),
        ({"timestamp": -1}, ValueError, "timestamp must be 0..3"),
        ({"timestamp": 4}, ValueError, "timestamp must be 0..3"),
    ],
)
def test_option_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        unpackb(b"\x01", **kwargs)
    assert str(info.value) == message


def test_hook_errors_propagate():
    def boom(*args):
        raise KeyError("hook")

    for kwargs in ({"list_hook": boom}, {"object_hook": boom}, {"ext_hook": boom}):
        with pytest.raises(KeyError):
            unpackb(h("92 81 a1 61 90 d4 01 00"), **kwargs)


def test_ext_hook():
    assert unpackb(h("d4 05 61"), ext_hook=lambda c, d: (c, d)) == (5, b"a")
    with pytest.raises(AssertionError, match="^u->ext_hook cannot be NULL$"):
        unpackb(h("d4 05 61"), ext_hook=None)
    with pytest.raises(AssertionError, match="^u->ext_hook cannot be NULL$"):
        unpackb(h("d6 ff 00 00 00 00"), ext_hook=None)
    with pytest.raises(NotImplementedError):
        import quoril._cquoril as c

        unpackb(h("d4 05 61"), ext_hook=c.default_read_extended_type)


TIMESTAMP_MODES = [
    ("d6 ff 00 00 00 00", [Timestamp(0, 0), 0.0, 0, datetime.datetime(1970, 1, 1, tzinfo=UTC)]),
    ("c7 0c ff 1d cd 65 00 ff ff ff ff ff ff ff ff",
     [Timestamp(-1, 500000000), -0.5, -500000000,
      datetime.datetime(1969, 12, 31, 23, 59, 59, 500000, tzinfo=UTC)]),
    ("d7 ff 00 00 00 04 00 00 00 02", [Timestamp(2, 1), 2.000000001, 2000000001,
                                        datetime.datetime(1970, 1, 1, 0, 0, 2, tzinfo=UTC)]),
]


@pytest.mark.parametrize("wire, expected", TIMESTAMP_MODES)
@pytest.mark.parametrize("mode", [0, 1, 2, 3])
def test_timestamp_modes(wire, expected, mode):
    result = unpackb(h(wire), timestamp=mode)
    assert result == expected[mode] and type(result) is type(expected[mode])


def test_timestamp_limits():
    assert unpackb(h("d7 ff ee 6b 27 fc 00 00 00 00"), timestamp=2) == 999999999
    big = (185542587187200).to_bytes(8, "big")
    with pytest.raises(OverflowError, match=r"^days=2147483648; too large to convert to C int$"):
        unpackb(h("c7 0c ff 00 00 00 00") + big, timestamp=3)
    with pytest.raises(OverflowError):  # within C int days, beyond datetime's range
        unpackb(h("c7 0c ff 00 00 00 00") + (10**12).to_bytes(8, "big"), timestamp=3)


def test_buffer_inputs():
    data = packb([1, "two", b"three"])
    assert unpackb(bytearray(data)) == [1, "two", b"three"]
    assert unpackb(memoryview(data)) == [1, "two", b"three"]
    doubled = bytes(b for byte in data for b in (byte, 0))
    assert unpackb(memoryview(doubled)[::2]) == [1, "two", b"three"]
    with pytest.raises(BufferError, match="^cannot unpack from multi-byte object$"):
        unpackb(array.array("i", [1, 2]))
    with pytest.raises(TypeError):
        unpackb("text")
    buf = bytearray(b"\x92\x01")
    with pytest.raises(ValueError):
        unpackb(buf)
    buf.extend(b"\x02")  # the export has ended
    assert unpackb(buf) == [1, 2]


def test_packed_by_keyword():
    assert unpackb(packed=b"\x01") == 1


def test_equal_keys_are_one_object():
    wire = packb([{"name": 1, "value": 2}, {"name": 3, "value": 4}])
    first, second = unpackb(wire)
    for a, b in zip(first, second):
        assert a is b


@pytest.mark.parametrize("odd", ["x", "\u00e9"])
def test_text_differing_in_one_character_stays_apart(odd):
    # Keys and short values are read a word at a time: every length and position.
    keys = []
    for n in range(1, 41):
        keys += ["k" * n] + ["k" * i + odd + "k" * (n - i - 1) for i in range(n)]
    doc = {key: key for key in keys}
    assert unpackb(packb([doc, doc])) == [doc, doc]


@pytest.mark.thread_unsafe(reason="measures process-wide memory with tracemalloc")
@pytest.mark.skipif(not FREE_THREADED, reason="interning is kept on the default build")
def test_free_threaded_keys_stay_mortal():
    import gc
    import tracemalloc

    keys = list(unpackb(packb({f"key{i}": i for i in range(10)})))
    assert all(sys.getrefcount(k) < 100 for k in keys)  # immortal objects report 2**32 - 1
    u = Unpacker()
    u.feed(packb({"fresh-key": 1}))
    assert sys.getrefcount(next(iter(u.unpack()))) < 100

    def decode_fresh_keys(round_):
        for i in range(300):
            unpackb(packb({f"fresh-{round_}-{i}-{j}": j for j in range(20)}))

    decode_fresh_keys(0)
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for round_ in range(1, 4):
            decode_fresh_keys(round_)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, f"{grown} bytes kept after decoding 18000 distinct keys"


def test_default_build_interns_keys():
    if FREE_THREADED:
        pytest.skip("the free-threaded build shares keys through its cache instead")
    (key,) = unpackb(packb({"a-long-key-" * 5: 1}))
    assert key is sys.intern(key)


def test_bench_documents_round_trip(bench_docs):
    for name, doc in bench_docs.items():
        assert unpackb(packb(doc)) == doc, name
