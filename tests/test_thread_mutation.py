"""Other threads mutating what is being packed: pair lists, lists, dicts and bytearrays given
as data or as options. Every call either fails with RuntimeError (a container changed size or
keys under it) or returns bytes that decode, as one item, to values that were really there."""

import codecs
import functools
import pathlib
import re
import threading
import time

import pytest

from conftest import FREE_THREADED, h, run_child, run_threads
from quoril import Packer, Unpacker, packb, unpackb

pytestmark = [
    pytest.mark.thread_unsafe(reason="starts its own threads"),
    pytest.mark.no_refleak(reason="timing-dependent races, run once"),
]
# Containers that CPython itself locks; a bytearray written in place by one thread while
# another reads it is a data race in CPython's own terms, so those tests stay out of it.
tsan = pytest.mark.tsan

ROUNDS = 100
SECONDS = 0.5
VALUE = re.compile(r"value-\d+\Z")
CHANGED = ("changed size during iteration", "dictionary keys changed during iteration")


CHILD_MAIN = """
import sys
sys.path.insert(0, sys.argv[1])
import test_thread_mutation as tests
getattr(tests, sys.argv[2]).__wrapped__(**eval(sys.argv[3]))
print("passed")
"""


def in_child(test):
    """Runs the test body in its own interpreter, so that a crash fails this test alone;
    under ThreadSanitizer the child's report fails it the same way. Parameters must be
    literals."""

    @functools.wraps(test)
    def wrapper(**kwargs):
        here = pathlib.Path(__file__).resolve().parent
        assert run_child(CHILD_MAIN, here, test.__name__, repr(kwargs), timeout=300) == "passed\n"

    return wrapper


def race(pack_once, mutate_once, rounds=ROUNDS, mutators=1, seconds=SECONDS):
    """pack_once() runs at least `rounds` times and for `seconds` in one thread while
    mutate_once(i, n) runs in a loop in the others; run_threads releases them together."""
    stop = threading.Event()

    def body(i):
        if i == 0:
            try:
                deadline = time.monotonic() + seconds
                n = 0
                while n < rounds or time.monotonic() < deadline:
                    pack_once()
                    n += 1
            finally:
                stop.set()
        else:
            n = 0
            while not stop.is_set():
                mutate_once(i, n)
                n += 1

    run_threads(1 + mutators, body)


def fresh(i, n):
    # Built at run time, so rebinding a slot frees the previous value.
    return "value-" + str(n * 10 + i)


def fresh_list(i, n):
    # Takes a while to pack: a wide window for a slot rebound meanwhile.
    return [fresh(i, n)] * 8


def check_value(v):
    assert isinstance(v, str) and VALUE.match(v), repr(v)


def refused(exc):
    return isinstance(exc, RuntimeError) and str(exc).endswith(CHANGED)


@tsan
@in_child
@pytest.mark.parametrize("pair_type", ["list", "tuple"], ids=["list pairs", "tuple pairs"])
def test_pack_map_pairs_while_pairs_are_rebound(pair_type):
    pairs = [[k, fresh_list(0, k)] for k in range(64)]
    if pair_type == "tuple":
        pairs = [tuple(p) for p in pairs]
    p = Packer()

    def pack_once():
        got = unpackb(p.pack_map_pairs(pairs), object_pairs_hook=list, strict_map_key=False)
        assert [k for k, _ in got] == list(range(64))
        for _, v in got:
            assert len(v) == 8
            for item in v:
                check_value(item)

    def mutate_once(i, n):
        k = n % 64
        if pair_type == "list":
            pairs[k][1] = fresh_list(i, n)
        else:
            pairs[k] = (k, fresh_list(i, n))

    race(pack_once, mutate_once, seconds=2 * SECONDS)


@tsan
@in_child
def test_pack_map_pairs_while_the_pairs_list_changes_size():
    pairs = [(k, fresh(0, k)) for k in range(32)]
    p = Packer()
    outcomes = {"ok": 0, "refused": 0}

    def pack_once():
        try:
            out = p.pack_map_pairs(pairs)
        except RuntimeError as exc:
            assert str(exc) == "list changed size during iteration"
            outcomes["refused"] += 1
            return
        got = unpackb(out, object_pairs_hook=list, strict_map_key=False)
        for k, v in got:
            assert isinstance(k, int)
            check_value(v)
        outcomes["ok"] += 1

    def mutate_once(i, n):
        if n % 2:
            pairs.append((100 + n, fresh(i, n)))
        elif len(pairs) > 1:
            pairs.pop()

    race(pack_once, mutate_once)
    assert sum(outcomes.values()) >= ROUNDS


@tsan
@in_child
@pytest.mark.parametrize("shape", ["list", "dict", "list in a dict", "dict in a list"])
def test_pack_while_containers_change(shape):
    items = [fresh(0, k) for k in range(32)]
    if shape == "list":
        root = target = list(items)
    elif shape == "dict":
        root = target = {f"k{k}": v for k, v in enumerate(items)}
    elif shape == "list in a dict":
        target = list(items)
        root = {"a": 1, "list": target, "z": 2}
    else:
        target = {f"k{k}": v for k, v in enumerate(items)}
        root = [1, target, 2]
    p = Packer()

    def pack_once():
        try:
            out = p.pack(root)
        except RuntimeError as exc:
            assert refused(exc), str(exc)
            return
        got = unpackb(out)
        inner = {"list in a dict": lambda: got["list"], "dict in a list": lambda: got[1]}.get(
            shape, lambda: got)()
        values = inner.values() if isinstance(inner, dict) else inner
        for v in values:
            check_value(v)
        if isinstance(inner, dict):
            assert all(k.startswith("k") for k in inner)

    def mutate_once(i, n):
        k = n % 40
        if isinstance(target, list):
            if n % 3 == 0:
                target.append(fresh(i, n))
            elif n % 3 == 1 and len(target) > 1:
                target.pop()
            elif target:
                target[k % len(target)] = fresh(i, n)
        else:
            if n % 3 == 0:
                target[f"k{k}"] = fresh(i, n)
            elif n % 3 == 1:
                target.pop(f"k{k}", None)
            else:
                target[f"k{k % 8}"] = fresh(i, n)

    race(pack_once, mutate_once)


@tsan
@in_child
def test_pack_while_dict_values_are_rebound():
    d = {f"k{k}": fresh(0, k) for k in range(32)}
    keys = list(d)

    def pack_once():
        got = unpackb(packb(d))
        assert list(got) == keys
        for v in got.values():
            check_value(v)

    def mutate_once(i, n):
        d[keys[n % 32]] = fresh(i, n)

    race(pack_once, mutate_once)


# CPython 3.13's bytearray takes no lock: on the free-threaded build a resize races with any
# reader of its storage, CPython's own included, so only same-size writes are raced there.
RESIZE = [False, pytest.param(True, marks=pytest.mark.skipif(
    FREE_THREADED, reason="3.13t bytearray resizes are unsynchronized in CPython itself"))]


@in_child
@pytest.mark.parametrize("resize", RESIZE, ids=["in place", "resized"])
@pytest.mark.parametrize("how", ["bytearray", "in a list"])
def test_pack_while_a_bytearray_changes(how, resize):
    data = bytearray(b"x" * 64)

    def pack_once():
        if how == "bytearray":
            got = unpackb(packb(data))
        else:
            got = unpackb(packb([data, 1]))
            assert got[1] == 1
            got = got[0]
        assert isinstance(got, bytes) and set(got) <= {ord("x"), ord("y")}
        assert resize or len(got) == 64

    def mutate_once(i, n):
        try:
            if resize:
                if n % 2:
                    data.extend(b"y" * 4096)
                else:
                    del data[64:]
            else:
                data[:] = (b"x" if n % 2 else b"y") * 64
        except BufferError:
            pass  # the packer holds an export of it for the moment

    race(pack_once, mutate_once)


def qignore(exc):
    return ("", exc.end)


def mutate_handler_name(ba, resize):
    # Two names of one length: writing one over the other never moves the storage.
    names = [b"replace", b"qignore"]
    codecs.register_error("qignore", qignore)

    def mutate_once(i, n):
        try:
            if resize and n % 3 == 2:
                ba.extend(b"\0" * 1000)
                del ba[7:]
            ba[:] = names[n % 2]
        except BufferError:
            pass
    return mutate_once


def torn(call):
    """A name copied while another thread writes it may mix both names: no such handler."""
    try:
        return call()
    except LookupError as exc:
        assert "unknown error handler name" in str(exc)
        return None


@in_child
@pytest.mark.parametrize("resize", RESIZE, ids=["in place", "resized"])
def test_packer_options_from_a_bytearray_another_thread_changes(resize):
    ba = bytearray(b"replace")
    packers = []

    def pack_once():
        p = torn(lambda: Packer(unicode_errors=ba))
        if p is None:
            return
        packers.append(p)
        assert torn(lambda: p.pack("a\ud800")) in (h("a2 61 3f"), h("a1 61"), None)
        for old in packers[-5:]:
            assert torn(lambda: old.pack("\ud800")) in (h("a1 3f"), h("a0"), None)

    race(pack_once, mutate_handler_name(ba, resize))


@in_child
@pytest.mark.parametrize("resize", RESIZE, ids=["in place", "resized"])
def test_packb_and_unpackb_options_from_a_bytearray_another_thread_changes(resize):
    ba = bytearray(b"replace")

    def pack_once():
        assert torn(lambda: packb(["\ud800"] * 4, unicode_errors=ba)) in (
            h("94" + " a1 3f" * 4), h("94" + " a0" * 4), None)
        assert torn(lambda: unpackb(h("92 a1 ff a1 ff"), unicode_errors=ba)) in (
            ["\ufffd"] * 2, [""] * 2, None)
        u = torn(lambda: Unpacker(unicode_errors=ba))
        if u is not None:
            u.feed(h("a1 ff"))
            assert torn(u.unpack) in ("\ufffd", "", None)

    race(pack_once, mutate_handler_name(ba, resize))


@pytest.mark.skipif(not FREE_THREADED, reason="the default build's lock keeps other threads out")
def test_a_list_being_decoded_is_out_of_other_threads_reach():
    # Another thread that found the list through the collector could resize it
    # under the decoder's unlocked stores.
    import gc

    from quoril import ExtType, packb, unpackb

    seen = []

    def hook(code, data):
        seen.extend(o for o in gc.get_objects() if type(o) is list and o == ["marker"])
        return code

    assert unpackb(packb(["marker", ExtType(1, b""), 2]), ext_hook=hook) == ["marker", 1, 2]
    assert seen == []
