"""The sibling modules: ExtType, Timestamp and the exception hierarchy."""

import datetime
import pickle

import pytest

from quoril import (BufferFull, ExtraData, ExtType, FormatError, OutOfData, QuorilError,
                    StackError, Timestamp, UnpackException)

UTC = datetime.timezone.utc


PICKLE_CACHES = "pickle's own dispatch caches take more runs to settle than the leak hunt gives"


@pytest.mark.no_refleak(reason=PICKLE_CACHES)
def test_ext_type_is_a_validated_pair():
    e = ExtType(5, b"abc")
    assert e == (5, b"abc") and e.code == 5 and e.data == b"abc"
    assert ExtType(code=-128, data=b"") == (-128, b"")
    assert pickle.loads(pickle.dumps(e)) == e


@pytest.mark.parametrize(
    "code, data, exc, message",
    [
        (128, b"", ValueError, "ExtType code must be from -128 to 127, got 128"),
        (200, b"", ValueError, "ExtType code must be from -128 to 127, got 200"),
        (-129, b"", ValueError, "ExtType code must be from -128 to 127, got -129"),
        ("1", b"", TypeError, "ExtType code must be an int, not str"),
        (True, b"", TypeError, "ExtType code must be an int, not bool"),
        (1.0, b"", TypeError, "ExtType code must be an int, not float"),
        (1, "text", TypeError, "ExtType data must be bytes, not str"),
        (1, bytearray(b"x"), TypeError, "ExtType data must be bytes, not bytearray"),
    ],
)
def test_ext_type_refuses_bad_fields(code, data, exc, message):
    with pytest.raises(exc) as info:
        ExtType(code, data)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: Timestamp(1.5), TypeError, "Timestamp seconds must be an int, not float"),
        (lambda: Timestamp(0, True), TypeError, "Timestamp nanoseconds must be an int, not bool"),
        (lambda: Timestamp(2**63), ValueError,
         "Timestamp seconds must fit in a signed 64-bit integer, got 9223372036854775808"),
        (lambda: Timestamp(0, 10**9), ValueError,
         "nanoseconds must be a non-negative integer not greater than 999999999."),
        (lambda: Timestamp.from_bytes(b"\x00" * 5), ValueError,
         "Timestamp.from_bytes needs 4, 8 or 12 bytes, got 5"),
        (lambda: Timestamp.from_datetime(datetime.datetime(2020, 1, 1)), ValueError,
         "Timestamp.from_datetime needs a timezone-aware datetime, got a naive one"),
        (lambda: setattr(Timestamp(1), "seconds", 2), AttributeError,
         "Timestamp is immutable: cannot set 'seconds'"),
    ],
)
def test_timestamp_error_messages(make, exc, message):
    with pytest.raises(exc) as info:
        make()
    assert str(info.value) == message


def test_timestamp_fields_and_validation():
    ts = Timestamp(10, 5)
    assert (ts.seconds, ts.nanoseconds) == (10, 5)
    assert Timestamp(7).nanoseconds == 0
    assert repr(ts) == "Timestamp(seconds=10, nanoseconds=5)"
    for bad in ((0, -1), (0, 10**9), (2**63, 0), (-(2**63) - 1, 0)):
        with pytest.raises(ValueError):
            Timestamp(*bad)
    for bad in ((1.5, 0), (0, 1.0), (True, 0), ("1", 0)):
        with pytest.raises(TypeError):
            Timestamp(*bad)


def test_timestamp_is_immutable():
    ts = Timestamp(1, 2)
    with pytest.raises(AttributeError):
        ts.seconds = 5
    with pytest.raises(AttributeError):
        ts.nanoseconds = 10**9
    with pytest.raises(AttributeError):
        del ts.seconds
    with pytest.raises(AttributeError):
        ts.extra = 1
    assert ts.seconds == 1


@pytest.mark.no_refleak(reason=PICKLE_CACHES)
def test_timestamp_ordering_and_hashing():
    values = [Timestamp(1, 5), Timestamp(-1, 0), Timestamp(1, 0), Timestamp(0, 999999999)]
    assert sorted(values) == [Timestamp(-1, 0), Timestamp(0, 999999999), Timestamp(1, 0),
                              Timestamp(1, 5)]
    assert Timestamp(1, 2) == Timestamp(1, 2) and Timestamp(1, 2) != Timestamp(1, 3)
    assert len({Timestamp(1, 2), Timestamp(1, 2), Timestamp(2, 1)}) == 2
    assert Timestamp(1, 0) != 1
    with pytest.raises(TypeError):
        Timestamp(1, 0) < 1
    assert pickle.loads(pickle.dumps(Timestamp(3, 4))) == Timestamp(3, 4)


@pytest.mark.parametrize(
    "ts, unix_ns",
    [(Timestamp(0, 0), 0), (Timestamp(1, 5), 1_000_000_005), (Timestamp(-1, 500), -999_999_500)],
)
def test_timestamp_conversions(ts, unix_ns):
    assert ts.to_unix_nano() == unix_ns
    assert Timestamp.from_unix_nano(unix_ns) == ts
    assert ts.to_unix() == pytest.approx(unix_ns / 1e9)
    assert Timestamp.from_bytes(ts.to_bytes()) == ts


def test_timestamp_from_unix_and_datetime():
    assert Timestamp.from_unix(1.5) == Timestamp(1, 500_000_000)
    assert Timestamp.from_unix(-0.25) == Timestamp(-1, 750_000_000)
    dt = datetime.datetime(2000, 1, 1, 0, 0, 1, 250000, tzinfo=UTC)
    ts = Timestamp.from_datetime(dt)
    assert ts == Timestamp(946684801, 250_000_000)
    assert ts.to_datetime() == dt
    assert Timestamp(0, 999).to_datetime() == datetime.datetime(1970, 1, 1, tzinfo=UTC)
    with pytest.raises(ValueError):
        Timestamp.from_datetime(datetime.datetime(2000, 1, 1))
    with pytest.raises(ValueError):
        Timestamp.from_bytes(b"\x00" * 5)


def test_exception_hierarchy():
    for cls in (BufferFull, OutOfData, ExtraData, FormatError, StackError):
        assert issubclass(cls, UnpackException) and issubclass(cls, QuorilError)
    for cls in (ExtraData, FormatError, StackError):
        assert issubclass(cls, ValueError)
    assert not issubclass(OutOfData, ValueError)
    e = ExtraData([1], b"\x02")
    assert (e.unpacked, e.extra) == ([1], b"\x02")
    assert str(e) == (
        "unpackb() decoded one object and found 1 byte after it; Unpacker reads a sequence of objects")
    assert FormatError().args == ()


@pytest.mark.parametrize(
    "cls, text",
    [
        (QuorilError, "quoril could not complete the operation"),
        (UnpackException, "the input could not be decoded"),
        (BufferFull, "Unpacker buffer full: the unread input would exceed max_buffer_size"),
        (OutOfData, "No more data to unpack."),
        (FormatError,
         "invalid MessagePack: the byte 0xc1, which the format never uses, where an item begins"),
        (StackError, "the input nests arrays and maps more than 1024 levels deep"),
    ],
)
def test_exceptions_without_arguments_name_the_problem(cls, text):
    assert cls().args == ()
    assert str(cls()) == text
    assert str(cls("given")) == "given"


def test_exceptions_raised_by_the_decoder_print_their_problem():
    from quoril import Unpacker, unpackb

    for wire, cls in ((b"\xc1", FormatError), (b"\x91" * 1025, StackError)):
        with pytest.raises(cls) as info:
            unpackb(wire)
        assert str(info.value) == str(cls())
    u = Unpacker(max_buffer_size=4)
    with pytest.raises(BufferFull) as info:
        u.feed(b"12345")
    assert "max_buffer_size" in str(info.value)
    with pytest.raises(ExtraData) as info:
        unpackb(b"\x01\x02\x03")
    assert "found 2 bytes after it" in str(info.value)
