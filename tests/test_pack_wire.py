"""The exact bytes the packer writes for each kind of value, at every threshold."""

import datetime

import pytest

from conftest import h
from quoril import ExtType, Packer, Timestamp, packb

UTC = datetime.timezone.utc

INTS = [
    (0, "00"), (1, "01"), (127, "7f"), (128, "cc 80"), (255, "cc ff"), (256, "cd 01 00"),
    (65535, "cd ff ff"), (65536, "ce 00 01 00 00"), (2**32 - 1, "ce ff ff ff ff"),
    (2**32, "cf 00 00 00 01 00 00 00 00"), (2**64 - 1, "cf ff ff ff ff ff ff ff ff"),
    (-1, "ff"), (-32, "e0"), (-33, "d0 df"), (-128, "d0 80"), (-129, "d1 ff 7f"),
    (-32768, "d1 80 00"), (-32769, "d2 ff ff 7f ff"), (-(2**31), "d2 80 00 00 00"),
    (-(2**31) - 1, "d3 ff ff ff ff 7f ff ff ff"), (-(2**63), "d3 80 00 00 00 00 00 00 00"),
    (2**30, "ce 40 00 00 00"), (-(2**30) - 1, "d2 bf ff ff ff"),
    (2**60 - 1, "cf 0f ff ff ff ff ff ff ff"), (-(2**60) + 1, "d3 f0 00 00 00 00 00 00 01"),
    (2**60, "cf 10 00 00 00 00 00 00 00"), (-(2**60), "d3 f0 00 00 00 00 00 00 00"),
    (2**63 - 1, "cf 7f ff ff ff ff ff ff ff"), (2**63, "cf 80 00 00 00 00 00 00 00"),
]


@pytest.mark.parametrize("value, wire", INTS)
def test_int(value, wire):
    assert packb(value) == h(wire)
    assert packb([value]) == b"\x91" + h(wire)  # the array fast path
    assert packb({"k": value}) == h("81 a1 6b") + h(wire)


@pytest.mark.parametrize("value", [2**64, -(2**63) - 1, 10**30])
def test_int_out_of_range(value):
    with pytest.raises(OverflowError, match="^Integer value out of range$") as info:
        packb(value)
    assert isinstance(info.value.__context__, OverflowError)
    seen = []
    assert packb(value, default=lambda o: seen.append(o) or "big") == b"\xa3big"
    assert seen == [value]


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyBytes(bytes):
    pass


class MyDict(dict):
    pass


class MyList(list):
    pass


class MyTuple(tuple):
    pass


SCALARS = [
    (None, "c0"), (True, "c3"), (False, "c2"), (1.5, "cb 3f f8 00 00 00 00 00 00"),
    (MyInt(300), "cd 01 2c"), (MyInt(-5), "fb"), (MyFloat(1.5), "cb 3f f8 00 00 00 00 00 00"),
    ("", "a0"), ("a" * 31, "bf" + "61" * 31), ("a" * 32, "d9 20" + "61" * 32),
    ("a" * 256, "da 01 00" + "61" * 256), ("\u00e9", "a2 c3 a9"), (MyStr("ab"), "a2 61 62"),
    (b"", "c4 00"), (b"ab", "c4 02 61 62"), (bytearray(b"ab"), "c4 02 61 62"),
    (MyBytes(b"a"), "c4 01 61"), (memoryview(b"ab"), "c4 02 61 62"),
    (b"x" * 256, "c5 01 00" + "78" * 256), ({}, "80"), ([], "90"), ((1, 2), "92 01 02"),
    (MyList([1]), "91 01"), (MyTuple((1,)), "91 01"), ({"a": 1}, "81 a1 61 01"),
    (MyDict(a=1), "81 a1 61 01"), ([[[]]], "91 91 90"),
]


@pytest.mark.parametrize("value, wire", SCALARS)
def test_value(value, wire):
    assert packb(value) == h(wire)


@pytest.mark.parametrize(
    "value, wire",
    [
        ("a" * 32, "da 00 20" + "61" * 32),
        (b"abc", "a3 61 62 63"),
        (b"", "a0"),
        (b"x" * 32, "da 00 20" + "78" * 32),
    ],
)
def test_without_bin_type(value, wire):
    assert packb(value, use_bin_type=False) == h(wire)


@pytest.mark.parametrize(
    "n, header",
    [(15, "9f"), (16, "dc 00 10"), (65535, "dc ff ff"), (65536, "dd 00 01 00 00")],
)
def test_array_headers(n, header):
    assert packb([None] * n) == h(header) + b"\xc0" * n


@pytest.mark.parametrize("n, header", [(15, "8f"), (16, "de 00 10"), (65536, "df 00 01 00 00")])
def test_map_headers(n, header):
    out = packb({i: None for i in range(n)})
    assert out.startswith(h(header))


@pytest.mark.parametrize("n, header", [(65535, "da ff ff"), (65536, "db 00 01 00 00")])
def test_long_str_headers(n, header):
    assert packb("z" * n)[: len(h(header))] == h(header)


@pytest.mark.parametrize(
    "n, header",
    [(0, "c7 00 05"), (1, "d4 05"), (2, "d5 05"), (3, "c7 03 05"), (4, "d6 05"), (8, "d7 05"),
     (16, "d8 05"), (17, "c7 11 05"), (255, "c7 ff 05"), (256, "c8 01 00 05"),
     (65536, "c9 00 01 00 00 05")],
)
def test_ext_headers(n, header):
    data = b"\x01" * n
    assert packb(ExtType(5, data)) == h(header) + data
    assert Packer().pack_ext_type(5, data) == h(header) + data


TIMESTAMPS = [
    ((0, 0), "d6 ff 00 00 00 00"),
    ((2**32 - 1, 0), "d6 ff ff ff ff ff"),
    ((2**32, 0), "d7 ff 00 00 00 01 00 00 00 00"),
    ((0, 1), "d7 ff 00 00 00 04 00 00 00 00"),
    ((1, 999999999), "d7 ff ee 6b 27 fc 00 00 00 01"),
    ((2**34 - 1, 0), "d7 ff 00 00 00 03 ff ff ff ff"),
    ((2**34, 0), "c7 0c ff 00 00 00 00 00 00 00 04 00 00 00 00"),
    ((-1, 500), "c7 0c ff 00 00 01 f4 ff ff ff ff ff ff ff ff"),
]


@pytest.mark.parametrize("args, wire", TIMESTAMPS)
def test_timestamp(args, wire):
    assert packb(Timestamp(*args)) == h(wire)


@pytest.mark.parametrize(
    "value, wire",
    [
        (datetime.datetime(2000, 1, 1, tzinfo=UTC), "d6 ff 38 6d 43 80"),
        (datetime.datetime(1969, 12, 31, 23, 59, 59, 500000, tzinfo=UTC),
         "c7 0c ff 1d cd 65 00 ff ff ff ff ff ff ff ff"),
        (datetime.datetime(2000, 1, 1, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=1))),
         "d6 ff 38 6d 43 80"),
    ],
)
@pytest.mark.no_refleak(reason="CPython's own aware-datetime subtraction leaks on 3.13.5t-debug")
def test_datetime_option(value, wire):
    assert packb(value, datetime=True) == h(wire)
    with pytest.raises(TypeError, match=r"^can not serialize 'datetime.datetime' object$"):
        packb(value)


def test_naive_datetime():
    naive = datetime.datetime(2000, 1, 1)
    with pytest.raises(
        ValueError, match=r"^can not serialize 'datetime.datetime' object where tzinfo=None$"
    ):
        packb(naive, datetime=True)
    assert packb(naive, datetime=True, default=lambda o: o.isoformat()) == packb(
        "2000-01-01T00:00:00"
    )


def test_single_float():
    assert packb(1.5, use_single_float=True) == h("ca 3f c0 00 00")
    assert packb(float("inf"), use_single_float=True) == h("ca 7f 80 00 00")
    with pytest.raises(OverflowError):
        packb(1e300, use_single_float=True)
    with pytest.raises(OverflowError):  # not routed to default
        packb(1e300, use_single_float=True, default=str)


def test_unicode_errors():
    assert packb("\ud800", unicode_errors="replace") == h("a1 3f")
    with pytest.raises(UnicodeEncodeError):
        packb("\ud800")
    assert packb("\ud800", unicode_errors="surrogatepass") == h("a3 ed a0 80")


@pytest.mark.parametrize(
    "value",
    [(1, 2), MyInt(1), MyFloat(1.0), MyStr("a"), MyBytes(b"a"), MyDict(), MyList(),
     type("MyByteArray", (bytearray,), {})(b"x")],
)
def test_strict_types_refuses_subclasses(value):
    name = type(value).__name__
    with pytest.raises(TypeError, match=rf"^can not serialize '{name}' object$"):
        packb(value, strict_types=True)
    assert packb(value, strict_types=True, default=lambda o: "d") == b"\xa1d"


def test_strict_types_keeps_exact_types():
    value = {"a": [1, 2.5, b"x", bytearray(b"y"), None, True, ExtType(1, b"z"), Timestamp(1)]}
    assert packb(value, strict_types=True) == packb(value)


class ExtSub(ExtType):
    pass


def test_ext_subclass_needs_non_strict():
    assert packb(ExtSub(1, b"a")) == h("d4 01 61")
    assert packb(ExtSub(1, b"a"), strict_types=True, default=lambda o: None) == b"\xc0"


class OddExt(ExtType):
    """Attributes the packer converts: a code that wraps, data given as ASCII text."""

    code = property(lambda self: 200)
    data = property(lambda self: "abc")


class BadDataExt(ExtType):
    data = property(lambda self: 5)


def test_ext_attributes_are_converted():
    assert packb(OddExt(0, b"")) == h("c7 03 c8 61 62 63")
    assert packb(ExtType(-1, b"\x00" * 4)) == h("d6 ff 00 00 00 00")
    with pytest.raises(TypeError):
        packb(BadDataExt(0, b""))


def test_unsupported():
    with pytest.raises(TypeError, match=r"^can not serialize 'set' object$"):
        packb({1})
    with pytest.raises(TypeError, match=r"^can not serialize 'object' object$"):
        packb(object(), default=lambda o: o)


def test_default_applies_once_per_position():
    calls = []

    def default(o):
        calls.append(type(o).__name__)
        if isinstance(o, set):
            return sorted(o)
        if isinstance(o, frozenset):
            return {1}  # a set again: not packable, default is not applied twice
        return o

    assert packb([{3, 1}, {2}], default=default) == h("92 92 01 03 91 02")
    with pytest.raises(TypeError, match="can not serialize 'set' object"):
        packb(frozenset([1]), default=default)
    assert calls == ["set", "set", "frozenset"]


def nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def test_nesting_limit():
    assert packb(nested(1025)) == b"\x91" * 1024 + b"\x90"
    with pytest.raises(ValueError, match=r"^recursion limit exceeded\.$"):
        packb(nested(1026))
    inner = {"k": nested(1024)}
    assert packb(inner).startswith(b"\x81\xa1k")
    with pytest.raises(ValueError, match="recursion limit"):
        packb({"k": nested(1025)})


class Wrap:
    pass


def test_default_keeps_the_allowance():
    value = nested(1024)
    inner = value
    while inner:
        inner = inner[0]
    inner.append(Wrap())  # at depth 1024, the deepest allowed
    assert packb(value, default=lambda o: []) == b"\x91" * 1024 + b"\x90"
    with pytest.raises(ValueError, match="recursion limit"):
        packb(value, default=lambda o: [[]])


def test_dict_changed_during_packing():
    d = {"a": object(), "b": 2}

    def default(o):
        d["c"] = 3
        return None

    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        packb(d, default=default)


@pytest.mark.parametrize("change", [list.clear, lambda items: items.append(1)],
                         ids=["shrinks", "grows"])
def test_list_changed_during_packing(change):
    # The header already counts the items: a change must fail, not mislead.
    items = ["a", object(), 2]

    def default(o):
        change(items)
        return None

    with pytest.raises(RuntimeError, match="^list changed size during iteration$"):
        packb(items, default=default)


@pytest.mark.thread_unsafe(reason="registers a process-wide codec error handler")
def test_error_handler_that_drops_the_string_being_encoded():
    # The handler runs Python code in the middle of the string's packing, so
    # the string must be held, not borrowed from the list that drops it.
    import codecs

    items = ["\udc80" + "x" * 40]

    def handler(error):
        items.clear()
        return ("?", error.end)

    codecs.register_error("quoril-test-drop", handler)
    with pytest.raises(RuntimeError, match="^list changed size during iteration$"):
        packb(items, unicode_errors="quoril-test-drop")


def test_containers_mixing_plain_and_held_items():
    # Plain items are written in place, others go through the dispatch; the
    # order of the wire must not notice the difference.
    marker = object()
    value = {"a": 1, "b": [marker, "x", {"c": marker}], "\u00e9": "\u00e9", 3: marker}
    wire = packb(value, default=lambda o: "M")
    assert wire == h("84 a1 61 01 a1 62 93 a1 4d a1 78 81 a1 63 a1 4d a2 c3 a9 a2 c3 a9 03 a1 4d")
    assert packb([1, (2, 3), "s", None, True, 1.5]) == h("96 01 92 02 03 a1 73 c0 c3 cb 3f f8 00 00 00 00 00 00")


class ItemsDict(dict):
    def __init__(self, pairs, length=None):
        super().__init__()
        self.pairs = pairs
        self.length = len(pairs) if length is None else length

    def __len__(self):
        return self.length

    def items(self):
        return self.pairs


@pytest.mark.parametrize(
    "make_pairs, length, wire",
    [
        (lambda: [("a", 1)], None, "81 a1 61 01"),
        (lambda: (("a", 1),), None, "81 a1 61 01"),
        # An iterator of list pairs, counted by len() alone (made per run: it is used up).
        (lambda: iter([["a", 1], ["b", 2]]), 2, "82 a1 61 01 a1 62 02"),
    ],
)
def test_dict_subclass_uses_items(make_pairs, length, wire):
    assert packb(ItemsDict(make_pairs(), length)) == h(wire)


@pytest.mark.parametrize(
    "pairs, message",
    [
        ([(1, 2, 3)], r"too many values to unpack \(expected 2\)"),
        ([(1,)], "need more than 1 value to unpack"),
        ([()], "need more than 0 values to unpack"),
        ([[1]], "need more than 1 value to unpack"),
    ],
)
def test_dict_subclass_bad_items(pairs, message):
    with pytest.raises(ValueError, match=message):
        packb(ItemsDict(pairs))
