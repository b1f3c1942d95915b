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
    "code, data, exc",
    [(128, b"", ValueError), (-129, b"", ValueError), ("1", b"", TypeError), (True, b"", TypeError),
     (1, "text", TypeError), (1, bytearray(b"x"), TypeError), (1.0, b"", TypeError)],
)
def test_ext_type_refuses_bad_fields(code, data, exc):
    with pytest.raises(exc):
        ExtType(code, data)


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
    assert str(e) == "unpack(b) received extra data."
    assert FormatError().args == ()
