"""Packer methods, output access, exports, re-entry and threads."""

import gc
import threading
import tracemalloc

import pytest

from conftest import h, run_threads
from quoril import Packer, packb, unpackb

REENTRY = "Packer cannot be called recursively while packing is in progress"
FROZEN = "Existing exports of data: Packer cannot be changed"


def test_autoreset_on_and_off():
    p = Packer()
    assert p.pack(None) == b"\xc0"
    assert p.bytes() == b""
    assert p.pack_array_header(3) == b"\x93"
    p = Packer(autoreset=False)
    assert p.pack(None) is None
    assert p.pack(True) is None
    assert p.pack_array_header(3) is None
    assert p.pack_map_header(0) is None
    assert p.pack_ext_type(1, b"a") is None
    assert p.pack_map_pairs([(1, 2)]) is None
    assert p.bytes() == h("c0 c3 93 80 d4 01 61 81 01 02")
    assert p.bytes() == h("c0 c3 93 80 d4 01 61 81 01 02")
    assert p.reset() is None
    assert p.bytes() == b""


def test_failed_pack_empties_the_buffer():
    p = Packer(autoreset=False)
    p.pack(1)
    with pytest.raises(TypeError, match="can not serialize 'object' object"):
        p.pack(object())
    assert p.bytes() == b""


@pytest.mark.parametrize("autoreset", [False, True])
def test_failed_pack_map_pairs_leaves_no_partial_map(autoreset):
    p = Packer(autoreset=autoreset)
    before = p.pack(1) or b""
    with pytest.raises(TypeError):
        p.pack_map_pairs([(1, 2), (3, object())])
    if autoreset:
        assert p.pack(2) == h("02")
    else:
        assert p.bytes() == h("01")


@pytest.mark.parametrize(
    "method, size, wire",
    [
        ("pack_array_header", 0, "90"), ("pack_array_header", 15, "9f"),
        ("pack_array_header", 16, "dc 00 10"), ("pack_array_header", 2**32 - 1, "dd ff ff ff ff"),
        ("pack_map_header", 15, "8f"), ("pack_map_header", 16, "de 00 10"),
        ("pack_map_header", 65536, "df 00 01 00 00"),
    ],
)
def test_headers(method, size, wire):
    assert getattr(Packer(), method)(size) == h(wire)
    assert getattr(Packer(), method)(size=size) == h(wire)


@pytest.mark.parametrize(
    "method, size, message",
    [
        ("pack_array_header", -1, "array size must be non-negative"),
        ("pack_array_header", 2**32, "array too large"),
        ("pack_map_header", -1, "map size must be non-negative"),
        ("pack_map_header", 2**32, "map too learge"),
    ],
)
def test_header_errors(method, size, message):
    p = Packer(autoreset=False)
    with pytest.raises(ValueError) as info:
        getattr(p, method)(size)
    assert str(info.value) == message
    assert p.bytes() == b""


@pytest.mark.parametrize(
    "code, data, wire",
    [(-1, b"\x00" * 4, "d6 ff 00 00 00 00"), (1, "abc", "c7 03 01 61 62 63"),
     (127, bytearray(b"ab"), "d5 7f 61 62"), (-128, b"", "c7 00 80"), (True, b"x", "d4 01 78")],
)
def test_pack_ext_type(code, data, wire):
    assert Packer().pack_ext_type(code, data) == h(wire)


@pytest.mark.parametrize(
    "code, data, exc",
    [(128, b"", OverflowError), (-129, b"", OverflowError), (2**40, b"", OverflowError),
     ("x", b"", TypeError), (1, 5, TypeError), (1, "\u00e9", UnicodeEncodeError)],
)
def test_pack_ext_type_errors(code, data, exc):
    p = Packer(autoreset=False)
    with pytest.raises(exc):
        p.pack_ext_type(code, data)
    assert p.bytes() == b""


class Iterable:
    """A pair that is neither a tuple nor a list, iterable any number of times."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize(
    "pairs, wire",
    [
        ([(1, 2), [3, 4]], "82 01 02 03 04"),
        ([(1, 2), (1, 3)], "82 01 02 01 03"),
        (((1, 2),), "81 01 02"),
        ({1: 2}.items(), "81 01 02"),
        ([Iterable([5, 6])], "81 05 06"),
        ([], "80"),
    ],
)
def test_pack_map_pairs(pairs, wire):
    assert Packer().pack_map_pairs(pairs) == h(wire)


@pytest.mark.parametrize(
    "pairs, message",
    [
        ([(1, 2, 3)], r"^too many values to unpack \(expected 2\)$"),
        ([(1,)], r"^need more than 1 value to unpack$"),
        ([[]], r"^need more than 0 values to unpack$"),
        ([Iterable([1, 2, 3])], r"^too many values to unpack \(expected 2\)$"),
    ],
)
def test_pack_map_pairs_errors(pairs, message):
    with pytest.raises(ValueError, match=message):
        Packer().pack_map_pairs(pairs)


def test_pack_map_pairs_full_allowance_per_item():
    deep = []
    for _ in range(1024):
        deep = [deep]
    assert Packer().pack_map_pairs([(1, deep)]).startswith(b"\x81\x01")


def test_buf_size_zero_grows():
    assert Packer(buf_size=0).pack([1, 2]) == h("92 01 02")
    assert Packer(buf_size=0).pack_array_header(2) == h("92")
    big = b"x" * 100_000
    assert Packer(buf_size=1).pack(big) == h("c6 00 01 86 a0") + big


@pytest.mark.parametrize("autoreset", [True, False])
def test_outgrowing_the_block_keeps_every_byte(autoreset):
    # A message larger than the block: with autoreset it leaves the block for
    # its own result; either way the bytes and the next messages are whole.
    big = bytes(range(256)) * 1024
    p = Packer(buf_size=64, autoreset=autoreset)
    outputs = []
    for value in ([b"a", big, "z"], {"k": big}, [1, 2]):
        got = p.pack(value)
        if not autoreset:
            got = p.bytes()
            p.reset()
        outputs.append(got)
    assert outputs == [packb([b"a", big, "z"]), packb({"k": big}), h("92 01 02")]


def test_default_reading_the_packer_after_the_message_outgrew_the_block():
    # Past the block, the output lives in the result being grown: what the hook
    # reads and what it is refused must not disturb it.
    big = b"y" * 100_000
    seen = []

    def default(obj):
        seen.append(p.bytes())
        for call in (p.reset, p.getbuffer, lambda: memoryview(p), p.__init__):
            with pytest.raises((BufferError, RuntimeError)):
                call()
        return 1

    p = Packer(buf_size=64, default=default)
    assert p.pack([big, object(), big]) == packb([big, 1, big])
    assert seen == [packb([big, 1, big])[:len(packb([big]))]]
    assert p.bytes() == b"" and p.pack(5) == h("05")


def test_failure_after_outgrowing_the_block_leaves_it_clean():
    def default(obj):
        raise ValueError("no")

    p = Packer(buf_size=64, default=default)
    with pytest.raises(ValueError, match="no"):
        p.pack([b"x" * 100_000, object()])
    assert p.pack([1]) == h("91 01")
    assert p.bytes() == b""


def test_options_reset_on_reinit():
    p = Packer(use_single_float=True, autoreset=False)
    p.pack(1.5)
    p.__init__()
    assert p.bytes() == h("ca 3f c0 00 00")
    assert p.pack(1.5) == h("ca 3f c0 00 00 cb 3f f8 00 00 00 00 00 00")
    assert p.bytes() == b""


def test_failed_init_keeps_previous_hooks():
    p = Packer(default=str)
    with pytest.raises(TypeError, match="^default must be a callable.$"):
        p.__init__(default=1, autoreset=False)
    assert p.pack({1}) is None  # autoreset stored, default kept
    assert p.bytes() == packb("{1}")
    p.__init__(unicode_errors="replace")
    with pytest.raises(UnicodeEncodeError):
        p.__init__(unicode_errors="\u00e9")
    with pytest.raises(UnicodeEncodeError):  # strict again, not a dangling handler name
        p.pack("\ud800")


def test_exports_freeze_the_buffer():
    p = Packer(autoreset=False)
    p.pack([1, 2])
    view = memoryview(p)
    assert view.readonly and bytes(view) == h("92 01 02")
    calls = [
        lambda: p.pack(1), lambda: p.pack_map_pairs([]), lambda: p.pack_ext_type(1, b""),
        lambda: p.pack_array_header(1), lambda: p.pack_map_header(1), lambda: p.reset(),
    ]
    for call in calls:
        with pytest.raises(BufferError) as info:
            call()
        assert str(info.value) == FROZEN
    assert p.bytes() == h("92 01 02")
    second = p.getbuffer()
    view.release()
    with pytest.raises(BufferError):
        p.reset()
    second.release()
    p.reset()
    assert p.pack(3) is None and p.bytes() == b"\x03"


def test_writable_export_refused():
    import ctypes

    p = Packer()
    with pytest.raises((BufferError, TypeError)):
        (ctypes.c_char * 1).from_buffer(p)
    p.pack(1)  # the failed request left no export behind


@pytest.mark.tsan
def test_reentry_from_default_hook_is_refused():
    p = Packer()
    seen = []

    def default(o):
        for call in (lambda: p.pack(1), lambda: p.pack_map_pairs([]),
                     lambda: p.pack_ext_type(1, b""), lambda: p.pack_array_header(1),
                     lambda: p.pack_map_header(1), lambda: p.reset()):
            with pytest.raises(RuntimeError) as info:
                call()
            seen.append(str(info.value))
        with pytest.raises(RuntimeError) as info:
            p.__init__(default=str)
        seen.append(str(info.value))
        seen.append(p.bytes())
        return "x"

    p.__init__(default=default)
    assert p.pack([1, {2}]) == h("92 01 a1 78")
    assert seen[:6] == [REENTRY] * 6
    assert seen[6] == "Packer.__init__() cannot be called while packing is in progress"
    assert seen[7] == h("92 01")
    assert p.pack([1]) == h("91 01")


def test_export_from_a_hook_is_refused():
    p = Packer()
    messages = []

    def default(o):
        for take in (memoryview, lambda q: q.getbuffer()):
            with pytest.raises(BufferError) as info:
                take(p)
            messages.append(str(info.value))
        return b"y" * 100_000  # forces the block to move

    p2 = Packer(buf_size=4, default=default)
    p = p2
    assert p.pack(["a", object()]).startswith(h("92 a1 61 c6"))
    assert messages == ["Packer cannot export its buffer while packing is in progress"] * 2
    with memoryview(p) as view:
        assert bytes(view) == b""


def test_hook_rebinding_options_cannot_free_the_running_hook():
    p = Packer()

    def default(o):
        with pytest.raises(RuntimeError):
            p.__init__(default=lambda o: "other")
        gc.collect()
        return "mine"

    p.__init__(default=default)
    del default
    assert p.pack([object(), object()]) == h("92 a4 6d 69 6e 65 a4 6d 69 6e 65")


@pytest.mark.tsan
def test_second_thread_during_blocking_hook():
    p = Packer()
    entered = threading.Event()
    tried = threading.Event()
    result = {}

    def default(o):
        entered.set()
        assert tried.wait(10)
        return "late"

    def other():
        assert entered.wait(10)
        try:
            result["other"] = p.pack(1)
        except RuntimeError as exc:
            result["other"] = str(exc)
        finally:
            tried.set()

    p.__init__(default=default)
    t = threading.Thread(target=other)
    t.start()
    result["main"] = p.pack([1, object(), 2])
    t.join()
    assert result["main"] == h("93 01 a4 6c 61 74 65 02")
    # Without a GIL the other thread reaches the Packer while the hook blocks;
    # with one, it may also wait for the whole call and then succeed.
    assert result["other"] in (REENTRY, b"\x01")


@pytest.mark.tsan
def test_shared_packer_across_threads():
    p = Packer()
    docs = [{"i": i, "s": "x" * (i % 50), "l": list(range(i % 20))} for i in range(200)]
    expected = [packb(d) for d in docs]

    def work(tid):
        for _ in range(20):
            for d, e in zip(docs, expected):
                assert p.pack(d) == e

    run_threads(4, work)


@pytest.mark.thread_unsafe(reason="measures process-wide memory with tracemalloc")
def test_steady_state_allocates_only_the_result(bench_docs):
    doc = bench_docs["citm_catalog"]
    p = Packer()
    size = len(p.pack(doc))
    for _ in range(3):
        p.pack(doc)
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        out = p.pack(doc)
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    grown = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    assert len(out) == size
    assert grown < size + 4096


def test_docstrings():
    assert Packer.__doc__.startswith("Packer(default=None, *, bool use_single_float=False")
    assert "    packer = Packer()\n" in Packer.__doc__
    assert Packer.pack.__doc__ == "Packer.pack(self, obj)"
    assert Packer.reset.__doc__ == (
        "Packer.reset(self)\n\nReset internal buffer.\n\n"
        "This method is useful only when autoreset=False."
    )
    assert Packer.pack_map_pairs.__doc__.endswith(
        "(`len(pairs)` and `for k, v in pairs:` should be supported.)"
    )


def test_top_level_helpers(tmp_path):
    import io

    import quoril

    stream = io.BytesIO()
    quoril.pack({"a": b"b"}, stream, use_bin_type=False)
    assert stream.getvalue() == h("81 a1 61 a1 62")
    stream.seek(0)
    assert quoril.unpack(stream, raw=True) == {b"a": b"b"}
    assert unpackb(packb([1, "x"])) == [1, "x"]


@pytest.mark.parametrize(
    "options",
    [{}, {"use_bin_type": False}, {"use_single_float": True}, {"strict_types": True, "default": repr},
     {"datetime": True}, {"unicode_errors": "replace"}, {"buf_size": 0}, {"buf_size": 1},
     {"autoreset": False}],
)
def test_packb_matches_a_packer(options):
    import datetime

    value = [1, 2.5, "\ud800" if "unicode_errors" in options else "s", b"b", (1, 2),
             datetime.datetime(2000, 1, 1, tzinfo=datetime.timezone.utc)
             if options.get("datetime") else None, "x" * 5000]
    with_reset = dict(options, autoreset=True)
    assert packb(value, **options) == Packer(**with_reset).pack(value)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: packb(), TypeError, "packb() takes exactly 1 positional argument (0 given)"),
        (lambda: packb(1, 2), TypeError, "packb() takes exactly 1 positional argument (2 given)"),
        (lambda: packb(1, bogus=1), TypeError, "__init__() got an unexpected keyword argument 'bogus'"),
        (lambda: packb(1, default=1), TypeError, "default must be a callable."),
        (lambda: packb(1, buf_size=-1), OverflowError, "can't convert negative value to size_t"),
        (lambda: packb({1}), TypeError, "can not serialize 'set' object"),
        (lambda: packb(2**64), OverflowError, "Integer value out of range"),
    ],
)
def test_packb_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


FAILING_ALLOCATIONS = """
import sys
import _testcapi
from quoril import Packer, packb
buf_size = int(sys.argv[1])
value = {"k": [1.5, "x" * 600]} if buf_size else [b"y" * 100_000, "x", b"y" * 100_000]
p = Packer(buf_size=buf_size or 64)
for k in range(1, 200):
    _testcapi.set_nomemory(k, k + 1)
    try:
        out = p.pack(value)
    except MemoryError:
        out = None
    finally:
        _testcapi.remove_mem_hooks()
    assert out is None or out == packb(value), k
    # whatever failed, nothing of it comes out in front of the next item
    assert p.pack(2) == b"\\x02", k
    assert p.bytes() == b"", k
print("ok")
"""


# 0: a message that outgrows a small block, so it leaves it for its own result.
@pytest.mark.parametrize("buf_size", [262144, 0], ids=["in the block", "outgrowing it"])
@pytest.mark.no_refleak(reason="a child process per run")
def test_a_failed_allocation_leaves_nothing_for_the_next_call(buf_size):
    pytest.importorskip("_testcapi")
    from conftest import run_child

    assert run_child(FAILING_ALLOCATIONS, buf_size).strip() == "ok"
