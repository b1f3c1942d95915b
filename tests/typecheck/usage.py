"""Typed use of the public API: passes mypy --strict, and runs (make typing runs both)."""

import datetime
import io
from typing import Any, assert_type

import quoril
from quoril import ExtType, Packer, Timestamp, Unpacker


def default(obj: object) -> object:
    if isinstance(obj, set):
        return sorted(obj)
    raise TypeError(f"cannot pack {type(obj).__name__}")


def ext_hook(code: int, data: bytes) -> object:
    return ExtType(code, data)


def pairs_hook(pairs: list[tuple[Any, Any]]) -> dict[Any, Any]:
    return dict(pairs)


def main() -> None:
    data = quoril.packb({"a": [1, 2.5, None]}, default=default, use_bin_type=True)
    assert_type(data, bytes)
    assert quoril.unpackb(data, use_list=False, timestamp=3, strict_map_key=False) == {
        "a": (1, 2.5, None)}
    assert quoril.unpackb(bytearray(data)) == quoril.unpackb(memoryview(data))
    quoril.unpackb(data, object_pairs_hook=pairs_hook, ext_hook=ext_hook, max_str_len=10)
    quoril.unpackb(data, object_hook=lambda d: d, list_hook=lambda a: a, unicode_errors="strict")

    packer = Packer(datetime=True, buf_size=1024)
    assert_type(packer.pack(1), bytes)
    out: bytes = packer.pack(datetime.datetime.now(datetime.UTC)) + packer.pack_array_header(2)
    assert out
    packer.pack_ext_type(5, b"x")
    packer.pack_map_pairs([(1, 2)])

    buffered = Packer(autoreset=False)
    assert_type(buffered.pack(1), None)
    buffered.pack_map_header(0)
    assert_type(buffered.bytes(), bytes)
    assert bytes(memoryview(buffered)) == bytes(buffered.getbuffer()) == b"\x01\x80"
    buffered.reset()

    def make(flag: bool) -> bytes | None:
        return Packer(autoreset=flag).pack(None)

    assert make(True) == b"\xc0" and make(False) is None

    stream = io.BytesIO()
    quoril.pack([1, 2], stream)
    quoril.pack({"k": "v"}, stream, use_single_float=True)
    stream.seek(0)
    unpacker = Unpacker(stream, read_size=64, max_buffer_size=1 << 20)
    assert [obj for obj in unpacker] == [[1, 2], {"k": "v"}]
    assert_type(unpacker.tell(), int)

    fed = Unpacker(raw=True)
    fed.feed(quoril.packb(["x", b"y"]))
    assert_type(fed.read_array_header(), int)
    assert fed.unpack() == b"x"
    fed.skip()
    fed.feed(b"\x80\x01")
    assert fed.read_map_header() == 0
    assert_type(fed.read_bytes(1), bytes)

    assert quoril.unpack(io.BytesIO(quoril.packb(3))) == 3

    ts = Timestamp(1, 2)
    assert_type(ts.seconds, int)
    assert Timestamp.from_bytes(ts.to_bytes()) == ts
    assert Timestamp.from_unix_nano(ts.to_unix_nano()) == ts
    assert ts < Timestamp.from_datetime(ts.to_datetime() + datetime.timedelta(seconds=1))
    ext = ExtType(1, b"abc")
    code, payload = ext
    assert_type(code, int)
    assert_type(ext.data, bytes)
    assert payload == ext.data
    match ext:
        case ExtType(matched_code, matched_data):
            assert_type(matched_code, int)
            assert (matched_code, matched_data) == (1, b"abc")

    try:
        quoril.unpackb(b"\x01\x02")
    except quoril.ExtraData as exc:
        assert exc.unpacked == 1 and exc.extra == b"\x02"
    errors: tuple[type[quoril.QuorilError], ...] = (
        quoril.FormatError, quoril.StackError, quoril.BufferFull, quoril.OutOfData)
    assert all(issubclass(e, quoril.UnpackException) for e in errors)
    assert isinstance(quoril.__version__, str)


if __name__ == "__main__":
    main()
