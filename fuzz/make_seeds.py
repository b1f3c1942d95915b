"""Writes the committed seed corpus: MessagePack for a spread of values and forms."""

import datetime
import hashlib
import pathlib
import sys

import quoril

HERE = pathlib.Path(__file__).resolve().parent


def values():
    utc = datetime.timezone.utc
    yield from [None, True, False, 0, 1, -1, 127, 128, -33, 255, 65536, 2**32, 2**63, -(2**63),
                1.5, float("inf"), "", "a", "é" * 20, "x" * 300, b"", b"\x00" * 300,
                [], [1, [2, [3]]], {}, {"a": 1, "b": [True, None]}, {"k": {"k": {"k": {}}}},
                quoril.ExtType(5, b"abc"), quoril.ExtType(-128, b"x" * 17),
                quoril.Timestamp(0), quoril.Timestamp(2**32, 5), quoril.Timestamp(-1, 500),
                list(range(20)), {str(i): i for i in range(20)}, (1, "t", b"b")]
    yield datetime.datetime(2000, 1, 1, tzinfo=utc)


def wires():
    for v in values():
        yield quoril.packb(v, datetime=True)
        yield quoril.packb(v, use_bin_type=False, datetime=True)
    yield quoril.Packer().pack_map_pairs([(1, 2), (1, 3)])
    yield bytes.fromhex("c1")
    yield bytes.fromhex("91" * 30 + "90")
    yield bytes.fromhex("ca 3f c0 00 00 cb 3f f8 00 00 00 00 00 00")
    yield bytes.fromhex("dd ff ff ff ff")
    yield bytes.fromhex("c9 ff ff ff ff 05")
    yield bytes.fromhex("c7 0c ff 00 00 00 00 00 00 00 00 00 00 00 01")


# Scripts for the callers target: read size, source fault, hook plan, operations.
CALLER_SCRIPTS = ["00 00 00 00", "31 11 05 03", "70 1c 96 02", "10 0d 63 05", "f0 02 71 0a"]
# Items that fail part-way, each followed by a good one.
FAILING = ["a2 ff fe 05 06", "81 01 02 05", "92 a1 ff 91 01 05", "d5 ff 00 00 05",
           "82 a1 61 81 01 02 a1 62 03 05", "91 d4 01 00 05"]


def main():
    targets = sys.argv[1:] or ["unpackb", "unpacker", "readers", "roundtrip", "callers"]
    stream = b"".join(wires())
    for target in targets:
        out = HERE / "corpus" / target
        out.mkdir(parents=True, exist_ok=True)
        seeds = list(wires())
        if target in ("unpacker", "readers"):
            seeds = [bytes([plan]) + w for plan in (0x00, 0x1b, 0x93, 0xe4) for w in seeds[::3]]
            seeds.append(b"\x21" + stream)
        if target == "callers":
            bodies = [stream, bytes.fromhex(" ".join(FAILING))] + seeds[::12]
            seeds = [bytes.fromhex(script) + body for script in CALLER_SCRIPTS for body in bodies]
        for seed in seeds:
            (out / hashlib.sha1(seed).hexdigest()).write_bytes(seed)


if __name__ == "__main__":
    main()
