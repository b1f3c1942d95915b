"""Stress: 2 to 8 threads against shared and separate Packers and Unpackers, with hooks
that block and hooks that re-enter. Every call gives the right result or the documented
RuntimeError, and no output is ever corrupted."""

import threading
import time

import pytest

from conftest import run_threads
from quoril import OutOfData, Packer, Unpacker, packb, unpackb

pytestmark = pytest.mark.tsan

PACK_REENTRY = "Packer cannot be called recursively while packing is in progress"
UNPACK_REENTRY = "Unpacker cannot be called recursively while unpacking is in progress"
THREADS = [2, 4, 8]


class Marker:
    """Unsupported by the packer: every one goes through the `default` hook."""

    def __init__(self, n):
        self.n = n


def documents(tid):
    return [{"thread": tid, "i": i, "items": [Marker(i), "s" * (i % 7), i * 1.5],
             "nested": {"k": [Marker(-i)]}} for i in range(30)]


def expected_bytes(doc):
    return packb(doc, default=lambda m: m.n)


@pytest.mark.parametrize("nthreads", THREADS)
def test_shared_packer_with_blocking_and_reentering_hooks(nthreads):
    packer = Packer()
    inner_refusals = []

    def default(marker):
        if marker.n % 3 == 0:
            time.sleep(0)  # give other threads the chance to arrive mid-call
        if marker.n % 5 == 0:
            try:
                packer.pack(1)
            except RuntimeError as exc:
                inner_refusals.append(str(exc))
        return marker.n

    packer.__init__(default=default)

    def work(tid):
        for doc in documents(tid):
            want = expected_bytes(doc)
            deadline = time.monotonic() + 30
            while True:
                try:
                    got = packer.pack(doc)
                except RuntimeError as exc:
                    assert str(exc) == PACK_REENTRY
                    assert time.monotonic() < deadline, "never got the Packer"
                    time.sleep(0.0005)
                    continue
                assert got == want
                break

    run_threads(nthreads, work)
    assert inner_refusals and set(inner_refusals) == {PACK_REENTRY}


@pytest.mark.parametrize("nthreads", THREADS)
def test_separate_packers(nthreads):
    def work(tid):
        packer = Packer(default=lambda m: m.n, autoreset=False)
        docs = documents(tid)
        for doc in docs:
            packer.pack(doc)
        assert packer.bytes() == b"".join(expected_bytes(d) for d in docs)

    run_threads(nthreads, work)


def stream(count):
    return [{"index": i, "payload": ["p" * (i % 13), i, [i] * (i % 4)]} for i in range(count)]


@pytest.mark.parametrize("nthreads", THREADS)
def test_shared_unpacker_hands_out_each_object_once(nthreads):
    objects = stream(400)
    hook_calls = [0]

    def hook(d):
        hook_calls[0] += 1
        if hook_calls[0] % 7 == 0:
            time.sleep(0)
        return d

    u = Unpacker(object_hook=hook)
    u.feed(b"".join(packb(o) for o in objects))
    seen = [[] for _ in range(nthreads)]

    def work(tid):
        while True:
            try:
                obj = u.unpack()
            except RuntimeError as exc:
                assert str(exc) == UNPACK_REENTRY
                continue
            except OutOfData:
                return
            seen[tid].append(obj["index"])

    run_threads(nthreads, work)
    for indexes in seen:
        assert indexes == sorted(indexes)
    assert sorted(i for indexes in seen for i in indexes) == list(range(400))


@pytest.mark.parametrize("nthreads", THREADS)
def test_separate_unpackers_fed_in_pieces(nthreads):
    objects = stream(200)
    wire = b"".join(packb(o) for o in objects)

    def work(tid):
        u = Unpacker(list_hook=lambda a: a)
        got = []
        step = 5 + tid
        for i in range(0, len(wire), step):
            u.feed(wire[i:i + step])
            got.extend(u)
        assert got == objects

    run_threads(nthreads, work)


@pytest.mark.parametrize("nthreads", THREADS)
def test_one_shot_calls_in_parallel(nthreads):
    docs = [{"n": i, "s": "é" * i, "b": bytes(i), "l": list(range(i))} for i in range(50)]

    def work(tid):
        for _ in range(20):
            for d in docs:
                assert unpackb(packb(d)) == d

    run_threads(nthreads, work)


def test_feed_from_another_thread_while_hook_blocks():
    attempted = threading.Event()
    outcome = []

    def hook(d):
        attempted.wait(5)
        return d

    u = Unpacker(object_hook=hook)
    u.feed(packb({"a": 1}))

    def feeder():
        try:
            u.feed(b"\x01")
            outcome.append("fed")
        except RuntimeError as exc:
            outcome.append(str(exc))
        finally:
            attempted.set()

    t = threading.Thread(target=feeder)
    t.start()
    assert u.unpack() == {"a": 1}
    t.join()
    assert outcome[0] in ("fed", "Unpacker.feed() cannot be called while unpacking is in progress")
    if outcome[0] == "fed":
        assert u.unpack() == 1
