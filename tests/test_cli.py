"""The command line: quoril dump, validate, stats and encode."""

import functools
import io
import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap

import pytest

from conftest import h
from quoril import ExtType, Timestamp, Unpacker, packb
from quoril import cli

# The command line is Python around the Unpacker; the leak loop covers the native calls it
# makes in their own tests, and would only measure the standard library's caches here.
pytestmark = pytest.mark.no_refleak(reason="pure-Python command line")
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")


def run(args, stdin=b"", stderr_tty=False):
    """The command in this process: (status, stdout bytes, stderr text)."""
    out, err = io.BytesIO(), io.StringIO()
    if stderr_tty:
        err.isatty = lambda: True
    status = cli.main(args, stdin=stdin if hasattr(stdin, "read") else io.BytesIO(stdin),
                      stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


def spawn(args, stdin=b"", cwd=None, **kwargs):
    """The command in a child process, from the installed package."""
    return subprocess.run([sys.executable, "-P", "-m", "quoril", *args], input=stdin,
                          capture_output=True, timeout=120, cwd=cwd, **kwargs)


class Pipe(io.RawIOBase):
    """A source that cannot seek and hands out at most ``step`` bytes a read, as a pipe may."""

    def __init__(self, data, step=4096):
        self._data, self._pos, self._step = data, 0, step

    def readable(self):
        return True

    def readinto(self, b):
        n = min(len(b), self._step, len(self._data) - self._pos)
        b[:n] = self._data[self._pos:self._pos + n]
        self._pos += n
        return n


def pipe(data, step=4096):
    return io.BufferedReader(Pipe(data, step))


# Each wire form and its line of JSON.
FORMS = [
    ("81 a1 61 01", '{"a": 1}'),
    ("92 c4 00 90", '[{"$bin": ""}, []]'),
    ("c4 02 00 01", '{"$bin": "AAE="}'),
    ("d5 05 78 79", '{"$ext": [5, "eHk="]}'),
    ("d6 ff 65 53 f1 00", '{"$timestamp": "2023-11-14T22:13:20Z"}'),
    ("d7 ff 77 35 94 00 65 53 f1 00", '{"$timestamp": "2023-11-14T22:13:20.5Z"}'),
    ("c7 0c ff 00 00 00 01 ff ff ff 00 00 00 00 00", '{"$timestamp": [-1099511627776, 1]}'),
    ("cb 7f f8 00 00 00 00 00 00", '{"$float": "nan"}'),
    ("ca 7f 80 00 00", '{"$float": "inf"}'),
    ("91 cb ff f0 00 00 00 00 00 00", '[{"$float": "-inf"}]'),
    ("ca 3f c0 00 00", "1.5"),
    ("cf ff ff ff ff ff ff ff ff", "18446744073709551615"),
    ("d3 80 00 00 00 00 00 00 00", "-9223372036854775808"),
    ("a2 c3 a9", '"\u00e9"'),
    ("93 c0 c2 c3", "[null, false, true]"),
    ("81 01 a1 78", '{"$map": [[1, "x"]]}'),
    ("82 a1 61 01 a1 61 02", '{"$map": [["a", 1], ["a", 2]]}'),
    ("81 91 01 02", '{"$map": [[[1], 2]]}'),
    ("81 d4 05 00 01", '{"$map": [[{"$ext": [5, "AA=="]}, 1]]}'),
    ("82 01 02 c3 03", '{"$map": [[1, 2], [true, 3]]}'),
    # A real map that looks like a tag is escaped, so it reads back as a map.
    ("81 a4 24 62 69 6e a1 78", '{"$map": [["$bin", "x"]]}'),
    ("82 a1 61 01 a7 24 65 6c 69 64 65 64 02", '{"$map": [["a", 1], ["$elided", 2]]}'),
]


@pytest.mark.parametrize("wire, line", FORMS)
def test_dump_forms(wire, line):
    assert run(["dump"], h(wire)) == (0, line.encode() + b"\n", "")


def fixture_stream():
    """A small stream of every kind of value, as packb writes it."""
    objects = [
        {"id": 7, "tags": ["a", "b"], "score": 0.5, "ok": True, "none": None},
        [1, -1, 2**64 - 1, -(2**63), 1e300, -0.0, "", "\u00e9\u4e2d\U0001f600", {}, []],
        b"\x00\xff", ExtType(5, b"xy"), Timestamp(1700000000, 500000000),
        Timestamp(-(2**40), 1), {1: "int key", b"k": "bytes key"}, {"$bin": "looks like a tag"},
        float("nan"), [float("inf"), {"x": float("-inf")}], {"d": [{"e": [[[]]]}]},
    ]
    return b"".join(packb(o) for o in objects)


def test_dump_encode_round_trip(tmp_path):
    data = fixture_stream()
    status, lines, err = run(["dump"], data)
    assert (status, err) == (0, "")
    assert len(lines.splitlines()) == 11
    assert run(["encode", "--lines"], lines) == (0, data, "")
    # also through files and child processes, from the installed package
    (tmp_path / "in.mp").write_bytes(data)
    dumped = spawn(["dump", "in.mp"], cwd=tmp_path)
    assert dumped.stdout == lines and dumped.returncode == 0
    (tmp_path / "in.jsonl").write_bytes(dumped.stdout)
    assert spawn(["encode", "--lines", "in.jsonl"], cwd=tmp_path).stdout == data


def test_dump_encode_round_trip_json_compatible():
    docs = [{"name": "caf\u00e9", "n": [0, 127, 128, 255, 256, 65535, 65536, 2**32, -32, -33,
                                   -(2**31) - 1], "f": [0.1, 1e-310, 3.0], "deep": [[{"a": []}]]},
            "x" * 300, [None] * 20, {str(i): i for i in range(20)}]
    data = b"".join(packb(d) for d in docs)
    _, lines, _ = run(["dump"], data)
    assert [json.loads(line) for line in lines.splitlines()] == docs
    assert run(["encode", "--lines"], lines)[1] == data
    status, pretty, _ = run(["dump", "--pretty"], packb(docs[0]))
    assert status == 0 and pretty.count(b"\n") > 10
    assert run(["encode"], pretty)[1] == packb(docs[0])


@pytest.mark.skipif(DEBUG_BUILD, reason="a debug build's json encoder stops short of 1024 levels")
def test_deepest_nesting_round_trips():
    data = h("91" * 1023 + "90")
    for args in (["dump"], ["dump", "--pretty"]):
        status, text, _ = run(args, data)
        assert status == 0
        assert run(["encode"], text)[1] == data


@pytest.mark.parametrize(
    "args, line",
    [
        (["--max-depth", "0"], '{"$elided": "map of 1 entry"}'),
        (["--max-depth", "1"], '{"a": {"$elided": "array of 2 items"}}'),
        (["--max-depth", "2"], '{"a": [{"$elided": "array of 3 items"}, {"$elided": "map of 1 entry"}]}'),
        (["--max-items", "1"], '{"a": [[1, {"$elided": "2 more items"}], {"$elided": "1 more item"}]}'),
        (["--max-items", "0"], '{"$elided": "1 more entry"}'),
        (["--offsets"], '5\t{"a": [[1, 2, 3], {"b": 4}]}'),
    ],
)
def test_dump_abbreviations(args, line):
    wire = h("01 02 03 04 05 81 a1 61 92 93 01 02 03 81 a1 62 04")
    status, out, _ = run(["dump", *args], wire)
    assert status == 0
    assert out.splitlines()[-1].decode() == line


def test_dump_abbreviates_maps_in_pairs_form():
    status, out, _ = run(["dump", "--max-items", "1"], h("82 01 02 03 04"))
    assert out == b'{"$map": [[1, 2], {"$elided": "1 more entry"}]}\n'
    assert run(["encode"], out)[0] == 1


def test_offsets_with_pretty_prefix_the_first_line():
    _, out, _ = run(["dump", "--pretty", "--offsets"], h("01 91 02"))
    assert out == b"0\t1\n1\t[\n  2\n]\n"


# Each problem validate finds: the offset it reports and its reason.

PROBLEMS = [
    ("01 93 01 02", 1, cli.TRUNCATED),
    ("01 dc 00", 1, cli.TRUNCATED),
    ("01 93 01 c1 02 03", 3, cli.MALFORMED),
    ("c1 01", 0, cli.MALFORMED),
    ("01 81 a1 61 92 01 c1", 6, cli.MALFORMED),
    ("01 92 a2 ff fe 02", 2, cli.BAD_UTF8),
    ("a3 ed a0 80", 0, cli.BAD_UTF8),  # an encoded surrogate
    ("01 " + "91" * 1024 + "90", 1025, cli.TOO_DEEP),
    ("01 " + "81 a0" * 1024 + "80", 2049, cli.TOO_DEEP),
    ("92 d5 ff 00 01 01", 1, cli.BAD_TIMESTAMP),
    ("d7 ff ff ff ff ff 00 00 00 00", 0, cli.BAD_TIMESTAMP),  # nanoseconds over 999999999
    # declared lengths far past the end of the input
    ("01 dd ff ff ff ff", 1, cli.TRUNCATED),
    ("01 df ff ff ff ff", 1, cli.TRUNCATED),
    ("01 db ff ff ff ff 61", 1, cli.TRUNCATED),
    ("01 c6 ff ff ff ff", 1, cli.TRUNCATED),
    ("01 c9 ff ff ff ff 05", 1, cli.TRUNCATED),
    # a str with a bad byte that is cut short is truncated first
    ("01 a3 ff", 1, cli.TRUNCATED),
]


@pytest.mark.parametrize("source", ["file", "pipe"])
@pytest.mark.parametrize("wire, offset, reason", PROBLEMS)
def test_validate_reports_the_first_problem(wire, offset, reason, source):
    data = h(wire)
    stdin = io.BytesIO(data) if source == "file" else pipe(data, step=3)
    assert run(["validate"], stdin) == (1, f"<stdin>: offset {offset}: {reason}\n".encode(), "")


@pytest.mark.parametrize("source", ["file", "pipe"])
def test_validate_finds_a_problem_past_the_first_read(source):
    # The failed array starts in the first read of the input and its 0xc1 lies in the second.
    prefix = b"\x01" * 65500
    data = prefix + h("93 c4 64") + bytes(100) + h("01 c1")
    stdin = io.BytesIO(data) if source == "file" else pipe(data, step=65536)
    assert run(["validate"], stdin)[1] == f"<stdin>: offset {len(data) - 1}: {cli.MALFORMED}\n".encode()
    assert run(["validate"], io.BytesIO(data[:-1]))[1] == (
        f"<stdin>: offset {len(prefix)}: {cli.TRUNCATED}\n".encode())


def test_offsets_count_from_where_stdin_was_left():
    stdin = io.BytesIO(h("c1 c1 01 92 01 c1"))
    stdin.seek(2)
    assert run(["validate"], stdin)[1] == f"<stdin>: offset 3: {cli.MALFORMED}\n".encode()


def test_validate_reports_where_every_cut_falls():
    pieces = [packb(o) for o in ({"a": [1, "xyz", b"\x00"]}, 300, Timestamp(1, 2), ["\u00e9"] * 3)]
    data = b"".join(pieces)
    starts = [sum(map(len, pieces[:i])) for i in range(len(pieces))]
    for cut in range(len(data)):
        begun = max(s for s in starts if s <= cut)
        expected = (f"<stdin>: offset {begun}: {cli.TRUNCATED}\n" if begun != cut
                    else f"<stdin>: valid, {starts.index(cut)} objects, {cut} bytes\n")
        if cut == starts[1]:
            expected = f"<stdin>: valid, 1 object, {cut} bytes\n"
        assert run(["validate"], data[:cut])[1] == expected.encode(), cut


@pytest.mark.parametrize("wire, line", [
    ("", "valid, 0 objects, 0 bytes"),
    ("01", "valid, 1 object, 1 byte"),
    ("01 92 01 02", "valid, 2 objects, 4 bytes"),
])
def test_validate_accepts_whole_objects(wire, line):
    assert run(["validate"], h(wire)) == (0, f"<stdin>: {line}\n".encode(), "")


@pytest.mark.thread_unsafe(reason="patches the module's limits")
@pytest.mark.parametrize("source", ["file", "pipe"])
def test_objects_beyond_the_unpackers_limits(monkeypatch, source):
    # The Unpacker refuses each of the middle four; a walk shows it whole, it is decoded from
    # its bytes, and reading goes on after it: the results are those without the limits.
    values = [1, b"\x00" * 2000, list(range(20)), ["x" * 1500], {str(i): i for i in range(10)}, 2]
    data = b"".join(packb(v) for v in values)
    bad = data + h("92 01 c1")
    runs = [(["dump", "--offsets"], data), (["stats", "--json"], data), (["validate"], data),
            (["dump"], bad), (["validate"], bad)]
    expected = [run(command, wire) for command, wire in runs]
    assert expected[1][0] == 0 and expected[3][2] == (
        f"quoril: <stdin>: offset {len(bad) - 1}: {cli.MALFORMED}\n")
    monkeypatch.setattr(cli, "READ_SIZE", 256)
    monkeypatch.setattr(cli, "ITEM_LIMIT", 8)
    monkeypatch.setattr(cli, "Unpacker", functools.partial(Unpacker, max_buffer_size=1024))
    for (command, wire), result in zip(runs, expected):
        stdin = io.BytesIO(wire) if source == "file" else pipe(wire, step=100)
        assert run(command, stdin) == result, command


def test_many_objects_beyond_the_limits_through_a_pipe(tmp_path):
    # Each is walked and read on after; that must cost the same for the last as for the first.
    # In a child: piling up state per object could overflow the stack.
    script = ("import sys; from quoril import cli; cli.ITEM_LIMIT = 8; "
              "sys.exit(cli.main(['stats', '--json']))")
    result = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True,
                            input=packb(list(range(10))) * 20000, timeout=120, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["objects"] == 20000


def test_a_count_the_input_cannot_bear_reserves_nothing(tmp_path):
    # 1024 nested arrays, each declaring 2**24 items, in 5 KiB: refused before room is made.
    base = peak_kib(["validate"], [h("01")], tmp_path)[2]
    status, out, peak = peak_kib(["validate"], [h("dd 01 00 00 00" * 1024)], tmp_path)
    assert (status, out) == (1, f"<stdin>: offset 0: {cli.TRUNCATED}\n".encode())
    assert peak - base < 16 * 1024, (base, peak)


def test_dump_stops_at_the_problem_after_the_objects_before_it():
    status, out, err = run(["dump"], h("01 92 02 c1"))
    assert (status, out, err) == (1, b"1\n", f"quoril: <stdin>: offset 3: {cli.MALFORMED}\n")


def test_stats_table():
    data = h("81 a1 61 92 01 a1 62" "91 91 91 c0" "c4 03 00 01 02" "01" "02")
    status, out, err = run(["stats"], data)
    assert (status, err) == (0, "")
    assert out.decode() == textwrap.dedent("""\
        <stdin>: 5 objects in 18 bytes; deepest nesting 3 (object at offset 7)

        type   objects  bytes  largest  at offset  values
        map          1      7        7          0       1
        array        1      4        4          7       4
        str          0      0        -          -       2
        bin          1      5        5         11       1
        int          2      2        1         16       3
        nil          0      0        -          -       1
        """)
    status, out, _ = run(["stats", "--json"], data)
    report = json.loads(out)
    assert report["objects"] == 5 and report["bytes"] == 18 and report["deepest_nesting"] == 3
    assert report["types"][1] == {"type": "array", "objects": 1, "bytes": 4, "largest": 4,
                                  "largest_at": 7, "values": 4}


def test_stats_counts_maps_with_any_keys():
    status, out, _ = run(["stats", "--json"], h("82 91 01 01 91 01 02"))
    assert status == 0
    assert json.loads(out)["types"][0] == {"type": "map", "objects": 1, "bytes": 7,
                                           "largest": 7, "largest_at": 0, "values": 1}


def test_stats_on_empty_input():
    assert run(["stats"], b"") == (0, b"<stdin>: 0 objects in 0 bytes; deepest nesting 0\n", "")


@pytest.mark.parametrize(
    "args, text, wire",
    [
        ([], '{"a": [1, 2.5, null]}', "81 a1 61 93 01 cb 40 04 00 00 00 00 00 00 c0"),
        (["--use-single-float"], "2.5", "ca 40 20 00 00"),
        ([], '{"$bin": "AAE="}', "c4 02 00 01"),
        (["--no-use-bin-type"], '{"$bin": "AAE="}', "a2 00 01"),
        ([], '"2024-05-01T12:00:00Z"', "b4" + "2024-05-01T12:00:00Z".encode().hex()),
        (["--datetime"], '["2024-05-01T12:00:00Z", "2024-05-01"]',
         "92 d6 ff 66 32 2e c0 aa" + "2024-05-01".encode().hex()),
        (["--datetime"], '{"t": "2024-05-01T14:00:00.5+02:00"}',
         "81 a1 74 d7 ff 77 35 94 00 66 32 2e c0"),
        ([], '{"$timestamp": [1, 2]}', "d7 ff 00 00 00 08 00 00 00 01"),
        ([], '{"$ext": [-5, ""]}', "c7 00 fb"),
        ([], '{"$float": "-inf"}', "cb ff f0 00 00 00 00 00 00"),
        ([], '{"$map": [[[1], 2], [[1], 3]]}', "82 91 01 02 91 01 03"),
        ([], '[{"$map": [[1, 2], [true, 3]]}, {"$map": [["$bin", "x"]]}]',
         "92 82 01 02 c3 03 81 a4 24 62 69 6e a1 78"),
        (["--lines"], '1\n\n  \n[2]\r\n"\u00e9"\n', "01 91 02 a2 c3 a9"),
        ([], '\ufeff{"bom": 1}', "81 a3 62 6f 6d 01"),
    ],
)
def test_encode(args, text, wire):
    assert run(["encode", *args], text.encode()) == (0, h(wire), "")


@pytest.mark.parametrize(
    "args, data, message",
    [
        ([], b'{"a": ', "line 1 column 7: Expecting value"),
        (["--lines"], b'1\n{"a": 1,}\n', "line 2 column 8: Illegal trailing comma before end of object"),
        ([], b"", "no JSON document"),
        ([], b'"\xff"', "invalid UTF-8 at byte 1"),
        ([], b'{"$bin": "not base64!"}', '"$bin" wants a base64 string'),
        ([], b'{"$ext": [200, ""]}', '"$ext" wants [code from -128 to 127, base64 data]'),
        ([], b'{"$timestamp": "yesterday"}',
         '"$timestamp" wants an RFC 3339 date-time or [seconds, nanoseconds]'),
        ([], b'{"$timestamp": [0, 1000000000]}',
         '"$timestamp" wants an RFC 3339 date-time or [seconds, nanoseconds]'),
        ([], b'{"$float": "NaN"}', '"$float" wants "nan", "inf" or "-inf"'),
        ([], b'{"$map": [[1]]}', '"$map" wants a list of [key, value] pairs'),
        ([], b'{"$bin": "", "a": 1}', 'an object with "$bin" and other keys (a tag stands alone)'),
        (["--lines"], b'1\n[{"$elided": "3 more items"}]\n',
         'line 2: "$elided" marks abbreviated output (--max-depth, --max-items), which cannot be encoded'),
        ([], b'{"a": 1, "$elided": "1 more entry"}',
         '"$elided" marks abbreviated output (--max-depth, --max-items), which cannot be encoded'),
        ([], b"18446744073709551616", "cannot encode: Integer value out of range"),
    ],
)
def test_encode_refuses(args, data, message):
    status, _, err = run(["encode", *args], data)
    assert (status, err) == (1, f"quoril: <stdin>: {message}\n")


def test_encode_refuses_a_terminal():
    out = io.BytesIO()
    out.isatty = lambda: True
    err = io.StringIO()
    assert cli.main(["encode"], stdin=io.BytesIO(b"1"), stdout=out, stderr=err) == 1
    assert out.getvalue() == b"" and "terminal" in err.getvalue()


@pytest.mark.parametrize(
    "args, status, message",
    [
        ([], 2, "quoril: the following arguments are required: COMMAND (see quoril --help)"),
        (["frobnicate"], 2, "quoril: argument COMMAND: invalid choice: 'frobnicate'"),
        (["dump", "--bogus"], 2, "quoril: unrecognized arguments: --bogus (see quoril --help)"),
        (["dump", "--max-depth", "-1"], 2, "quoril dump: argument --max-depth: not a count: '-1'"),
        (["dump", "no-such-file"], 1, "quoril: cannot open no-such-file: No such file or directory"),
        (["stats", "."], 1, "quoril: cannot open .: Is a directory"),
    ],
)
def test_usage_and_file_errors(args, status, message, tmp_path):
    result = spawn(args, cwd=tmp_path)
    err = result.stderr.decode()
    assert result.returncode == status and result.stdout == b""
    assert err.startswith(message) and err.count("\n") == 1, err


@pytest.mark.parametrize("command", ["dump", "validate", "stats"])
def test_commands_on_a_file_and_on_stdin(command, tmp_path):
    data = fixture_stream()
    (tmp_path / "in.mp").write_bytes(data)
    from_file = spawn([command, "in.mp"], cwd=tmp_path)
    from_stdin = spawn([command], stdin=data, cwd=tmp_path)
    assert from_file.returncode == from_stdin.returncode == 0
    assert from_file.stderr == from_stdin.stderr == b""
    assert from_file.stdout == from_stdin.stdout.replace(b"<stdin>", b"in.mp")
    assert from_file.stdout == run([command, str(tmp_path / "in.mp")])[1].replace(
        str(tmp_path / "in.mp").encode(), b"in.mp")


def test_console_script(tmp_path):
    script = pathlib.Path(sys.executable).parent / "quoril"
    if not script.exists():
        pytest.skip("the package is not installed with its console script here")
    result = subprocess.run([str(script), "validate"], input=h("92 01 02"), capture_output=True,
                            timeout=60, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (0, b"<stdin>: valid, 1 object, 3 bytes\n")


HOSTILE = [
    "91" * 100_000,
    "81 a0" * 5000,
    "dd ff ff ff ff" * 3,
    "df 7f ff ff ff 01",
    "db ff ff ff ff 61 62",
    "c6 ff ff ff ff",
    "c9 ff ff ff ff ff 00",
    "de ff ff" + "a1 61 01" * 1000,
    "a4 61 ff 62 63",
    "c1" * 1000,
    "91" * 500 + "c1",
    "dc 00 03 01 02",
    "d8 ff" + "00" * 16,
    "c7 0c ff ff ff ff ff 00 00 00 00 00 00 00 00",
]


def test_hostile_inputs_never_crash_or_hang(tmp_path):
    # In a child: a crash there fails this test rather than the run.
    script = textwrap.dedent("""
        import io, json, sys
        from quoril import cli
        cases = json.loads(sys.stdin.read())
        results = []
        for wire in cases:
            for command in ("dump", "validate", "stats"):
                for source in ("file", "pipe"):
                    data = bytes.fromhex(wire)
                    raw = io.BytesIO(data)
                    if source == "pipe":
                        raw.seekable = lambda: False
                    out, err = io.BytesIO(), io.StringIO()
                    status = cli.main([command], stdin=raw, stdout=out, stderr=err)
                    results.append([cases.index(wire), command, source, status,
                                    out.getvalue().decode(), err.getvalue()])
        print(json.dumps(results))
    """)
    result = subprocess.run([sys.executable, "-P", "-c", script], input=json.dumps(HOSTILE).encode(),
                            capture_output=True, timeout=300, cwd=tmp_path)
    assert result.returncode == 0, result.stderr.decode()[-2000:]
    for case, command, source, status, out, err in json.loads(result.stdout):
        where = (HOSTILE[case][:20], command, source)
        assert status == 1, where
        assert "Traceback" not in err and "unexpected error" not in err, (where, err)
        report = out if command == "validate" else err
        assert report.count("\n") == 1 and "offset" in report, (where, out, err)
    by_case = {}
    for case, command, source, status, out, err in json.loads(result.stdout):
        report = out if command == "validate" else err
        by_case.setdefault(case, set()).add(report[report.index("offset"):])
    # dump, validate and stats, from a file or a pipe, all report the same problem
    assert all(len(reports) == 1 for reports in by_case.values()), by_case


def test_progress_bar_only_on_a_terminal_for_a_large_file(tmp_path):
    item = packb(b"\x00" * 60000)
    big = tmp_path / "big.mp"
    big.write_bytes(item * 100)  # 6 MB, over the threshold
    small = tmp_path / "small.mp"
    small.write_bytes(item * 10)
    expected = f"{big}: valid, 100 objects, {len(item) * 100} bytes\n".encode()
    status, out, err = run(["validate", str(big)], stderr_tty=True)
    assert (status, out) == (0, expected)
    assert err.startswith("\r[") and "100.0% 5.7/5.7 MiB" in err and err.endswith("\r\x1b[K")
    assert run(["validate", str(big)])[2] == ""
    with open(big, "rb") as redirected:  # quoril validate < big.mp
        assert "100.0%" in run(["validate"], redirected, stderr_tty=True)[2]
    assert run(["validate", str(small)], stderr_tty=True)[2] == ""
    # a problem is reported on a line of its own, after the bar is cleared
    broken = tmp_path / "broken.mp"
    broken.write_bytes(big.read_bytes()[:-1])
    status, out, err = run(["dump", str(broken)], stderr_tty=True)
    assert status == 1
    assert err.endswith(f"\r\x1b[Kquoril: {broken}: offset {len(item) * 99}: {cli.TRUNCATED}\n")


def test_progress_bar_on_a_pseudo_terminal(tmp_path):
    pty = pytest.importorskip("pty")
    big = tmp_path / "big.mp"
    big.write_bytes(packb(b"\x00" * 60000) * 100)
    master, slave = pty.openpty()
    child = subprocess.Popen([sys.executable, "-P", "-m", "quoril", "stats", "big.mp"],
                             stdout=subprocess.PIPE, stderr=slave, cwd=tmp_path)
    os.close(slave)
    err = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the child closed its end
            break
        if not chunk:
            break
        err += chunk
    os.close(master)
    out = child.communicate(timeout=60)[0]
    assert child.returncode == 0 and out.startswith(b"big.mp: 100 objects")
    assert b"100.0%" in err and err.endswith(b"\r\x1b[K")


def test_broken_pipe_is_quiet(tmp_path):
    (tmp_path / "many.mp").write_bytes(packb(list(range(100))) * 20000)
    child = subprocess.Popen([sys.executable, "-P", "-m", "quoril", "dump", "many.mp"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    assert child.stdout.readline().startswith(b"[0, 1, 2")
    child.stdout.close()
    err = child.stderr.read()
    assert child.wait(timeout=60) == 1 and err == b""


@pytest.mark.parametrize("error, message", [
    (BrokenPipeError(32, "Broken pipe"), ""),
    (OSError(28, "No space left on device"),
     "quoril: cannot write the output: No space left on device\n"),
])
def test_output_errors_while_waiting_for_input(error, message):
    # dump flushes its output before it waits for more input, so the error comes out of the
    # Unpacker's read; it is the output's, not the input's.
    class Output(io.BytesIO):
        def flush(self):
            raise error

    err = io.StringIO()
    status = cli.main(["dump"], stdin=pipe(h("01 02"), step=1), stdout=Output(), stderr=err)
    assert (status, err.getvalue()) == (1, message)


@pytest.mark.parametrize("args", [["dump"], ["validate"], ["encode"], ["encode", "--lines"]])
def test_input_errors(args):
    class Failing(io.RawIOBase):
        def readable(self):
            return True

        def readinto(self, b):
            raise OSError(5, "Input/output error")

    status, out, err = run(args, io.BufferedReader(Failing()))
    assert (status, out, err) == (1, b"", "quoril: cannot read <stdin>: Input/output error\n")


def test_interrupt_is_one_line(tmp_path):
    child = subprocess.Popen([sys.executable, "-P", "-m", "quoril", "dump"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    child.stdin.write(h("92 01 02"))
    child.stdin.flush()
    assert child.stdout.readline() == b"[1, 2]\n"  # it is waiting for more input now
    child.send_signal(signal.SIGINT)
    err = child.stderr.read()
    child.stdin.close()
    assert child.wait(timeout=60) == 130 and err == b"quoril: interrupted\n"


def peak_kib(args, chunks, cwd):
    """Runs the command in a child fed ``chunks`` through a pipe: (status, stdout, peak KiB).

    The peak counts from before the child's exec, so compare it with a run on a tiny input."""
    script = f"import sys; from quoril import cli; sys.exit(cli.main({args!r}))"
    child = subprocess.Popen([sys.executable, "-P", "-c", script], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, cwd=cwd)
    for chunk in chunks:
        child.stdin.write(chunk)
    child.stdin.close()
    out = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    return child.returncode, out, usage.ru_maxrss


def test_stats_streams_in_bounded_memory(tmp_path):
    # 48 MiB through a pipe; the child's peak memory must not grow with it.
    record = packb([b"\x00" * 4000, "name", 1, {"k": [1.5]}])
    status, _, base = peak_kib(["stats", "--json"], [record * 256], tmp_path)
    assert status == 0
    status, out, peak = peak_kib(["stats", "--json"], [record * 256] * 48, tmp_path)
    report = json.loads(out)
    assert status == 0 and report["objects"] == 48 * 256
    assert report["bytes"] == 48 * 256 * len(record) > 48 * 2**20 - 2**20
    assert peak - base < 16 * 1024, (base, peak)
