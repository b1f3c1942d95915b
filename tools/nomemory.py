"""Allocation-failure injection: allocation number k fails, for every k in turn.

Each representative call must either succeed or raise MemoryError, never crash,
and the loop as a whole must not leak references.
"""

import gc
import io
import sys

import _testcapi

import quoril

DOC = {"name": "quoril", "tags": ["a", "bé", b"\x00\x01"], "n": [1, -2, 2**40, 1.5, None, True],
       "nested": {"k": [{"x": 1}, (2, 3)], "ext": quoril.ExtType(3, b"xyz"),
                  "ts": quoril.Timestamp(1, 2)}, "long": "x" * 300}
WIRE = quoril.packb(DOC)


def pack_reused():
    p = quoril.Packer(autoreset=False, buf_size=8)
    p.pack(DOC)
    p.pack_map_pairs([(1, 2)])
    p.pack_ext_type(1, b"ab")
    return p.bytes()


def unpack_stream():
    u = quoril.Unpacker(read_size=7)
    for i in range(0, len(WIRE), 5):
        u.feed(WIRE[i:i + 5])
        list(u)
    return u.tell()


CALLS = {
    "packb": lambda: quoril.packb(DOC),
    "Packer.pack": lambda: quoril.Packer().pack(DOC),
    "Packer methods": pack_reused,
    "unpackb": lambda: quoril.unpackb(WIRE),
    "unpackb options": lambda: quoril.unpackb(WIRE, use_list=False, timestamp=3,
                                              object_pairs_hook=list),
    "Unpacker.feed": unpack_stream,
    "Unpacker(file)": lambda: list(quoril.Unpacker(io.BytesIO(WIRE * 2), read_size=16)),
    "skip": lambda: [quoril.Unpacker(io.BytesIO(WIRE)).skip()],
}


def inject(call, limit=20000, quiet_after=200):
    """Fails allocation k for k = 0, 1, ... until `quiet_after` calls in a row succeed."""
    points = failures = streak = 0
    for k in range(limit):
        _testcapi.set_nomemory(k, k + 1)
        try:
            call()
            streak += 1
        except MemoryError:
            failures += 1
            streak = 0
        finally:
            _testcapi.remove_mem_hooks()
        points += 1
        if streak >= quiet_after:
            break
    return points, failures


def main():
    total_points = 0
    failed = False
    for name, call in CALLS.items():
        call()
        gc.collect()
        before = sys.gettotalrefcount()
        points, failures = inject(call)
        gc.collect()
        grown = sys.gettotalrefcount() - before
        total_points += points
        verdict = "ok" if grown < 100 else "LEAK"
        failed |= verdict != "ok"
        print(f"{name:>16}: {points} failure points tried, {failures} MemoryErrors, "
              f"refcount change {grown:+d} [{verdict}]", flush=True)
    print(f"allocation-failure points tried: {total_points}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
