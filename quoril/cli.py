"""The ``quoril`` command: look inside MessagePack files and streams.

    quoril dump [FILE|-]       one line of JSON for each top-level object
    quoril validate [FILE|-]   exit 0 when the input is whole, valid MessagePack
    quoril stats [FILE|-]      counts and sizes by type, the deepest nesting
    quoril encode [FILE|-]     JSON to MessagePack on stdout

The input is read in pieces through an :class:`~quoril.Unpacker`, so a file of any size runs
in memory bounded by its largest object. The JSON forms of the values JSON has no form for
are described in ``quoril dump --help``.
"""

import argparse
import base64
import binascii
import codecs
import collections
import datetime
import io
import json
import math
import os
import re
import stat
import sys
import time

import quoril
from quoril import BufferFull, ExtType, OutOfData, Packer, Timestamp, Unpacker, unpackb

__all__ = ["main"]

PROG = "quoril"
READ_SIZE = 64 * 1024
# The decoder makes room for a container's items when it reads the count, before they arrive;
# beyond this many the object is walked first, so that only a count the input bears out is
# trusted.
ITEM_LIMIT = 1 << 14
PROGRESS_MIN_SIZE = 4 * 1024 * 1024
NEST_LIMIT = 1024

MALFORMED = "malformed byte 0xc1"
TRUNCATED = "truncated object at end of input"
BAD_UTF8 = "invalid UTF-8 in a str"
TOO_DEEP = f"nesting too deep (more than {NEST_LIMIT} containers)"
BAD_TIMESTAMP = "invalid timestamp"

# Keys that make a one-key JSON object a tagged value. A map that uses any of them as a key is
# written in the "$map" form, so a plain JSON object never holds one.
TAG_BIN = "$bin"
TAG_EXT = "$ext"
TAG_TIMESTAMP = "$timestamp"
TAG_FLOAT = "$float"
TAG_MAP = "$map"
TAG_ELIDED = "$elided"
TAGS = frozenset({TAG_BIN, TAG_EXT, TAG_TIMESTAMP, TAG_FLOAT, TAG_MAP, TAG_ELIDED})

DUMP_EPILOG = f"""\
JSON values come out as themselves; the others as one-key objects:
  bin             {{"$bin": "<base64>"}}
  ext             {{"$ext": [<code>, "<base64>"]}}
  Timestamp       {{"$timestamp": "1970-01-01T00:00:00.5Z"}} (UTC, up to 9 fraction digits;
                  [<seconds>, <nanoseconds>] outside the years 1 to 9999)
  NaN, Infinity   {{"$float": "nan"}}, {{"$float": "inf"}}, {{"$float": "-inf"}}
  other maps      {{"$map": [[<key>, <value>], ...]}} for a map whose keys are not all distinct
                  strings, or that has a key from {", ".join(sorted(TAGS))}
Abbreviated output marks what it leaves out with "$elided"; `encode` refuses it.
"""

ENCODE_EPILOG = """\
The tagged forms that `dump` writes ($bin, $ext, $timestamp, $float, $map) are turned back
into the values they stand for, so `quoril dump F | quoril encode --lines` rebuilds F.
"""


class _Failure(Exception):
    """Ends the command with one line on stderr and the given exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


class _Usage(_Failure):
    def __init__(self, message):
        super().__init__(message, 2)


class _BadInput(_Failure):
    """The input is not (whole, valid) MessagePack: the offset and reason of its first problem."""

    def __init__(self, offset, reason):
        super().__init__(f"offset {offset}: {reason}")
        self.offset = offset
        self.reason = reason


class _ArgumentParser(argparse.ArgumentParser):
    def error(self, message):
        raise _Usage(f"{self.prog}: {message} (see {self.prog} --help)")


class _Progress:
    """A bar on stderr, redrawn at most ten times a second."""

    WIDTH = 30

    def __init__(self, stream, total):
        self._stream = stream
        self._total = total
        self._drawn = -1
        self._last = 0.0

    def update(self, done):
        done = min(done, self._total)  # the file may grow while it is read
        permille = done * 1000 // self._total
        now = time.monotonic()
        if permille == self._drawn or (now - self._last < 0.1 and done < self._total):
            return
        self._drawn, self._last = permille, now
        filled = self.WIDTH * permille // 1000
        self._stream.write(
            f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] {permille / 10:5.1f}% "
            f"{done / 2**20:.1f}/{self._total / 2**20:.1f} MiB")
        self._stream.flush()

    def clear(self):
        if self._drawn >= 0:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._drawn = -1


class _Source:
    """The input as the Unpacker's ``file_like``.

    It counts what it hands out (for the progress bar and to tell a truncated object from the
    end of the input) and, when the input cannot seek, keeps the chunks from ``keep_from`` on,
    so that the object that failed can be read again to find its exact problem.
    """

    def __init__(self, stream, progress=None, before_read=None):
        self._stream = stream
        self._read = getattr(stream, "read1", stream.read)
        try:
            self._seekable = stream.seekable()
        except (AttributeError, OSError, ValueError):
            self._seekable = False
        self._base = stream.tell() if self._seekable else 0
        self._progress = progress
        self._before_read = before_read
        self._kept = collections.deque()
        self._pending = collections.deque()  # read but not yet handed out, in order
        self.offset = 0
        self.keep_from = 0
        self.output_error = None

    def read(self, n):
        if self._before_read is not None:
            try:
                self._before_read()
            except OSError as exc:
                self.output_error = exc
                raise
        chunk = self._pending.popleft() if self._pending else self._read(n)
        if not self._seekable:
            kept = self._kept
            while kept and kept[0][0] + len(kept[0][1]) <= self.keep_from:
                kept.popleft()
            if chunk:
                kept.append((self.offset, chunk))
        self.offset += len(chunk)
        if self._progress is not None:
            self._progress.update(self.offset)
        return chunk

    def chunks_from(self, offset):
        """The input's bytes from ``offset`` on, in pieces, for a walk; the Unpacker reading
        this source is done with by then."""
        if self._seekable:
            self._stream.seek(self._base + offset)
        else:
            # What the Unpacker read past ``offset`` goes back in front of what it had not.
            self._pending.extendleft(reversed([chunk[max(0, offset - start):]
                                               for start, chunk in self._kept
                                               if start + len(chunk) > offset]))
            self._kept.clear()
        return self._drain()

    def _drain(self):
        pending = self._pending
        while pending:
            yield pending.popleft()
        while chunk := self._read(READ_SIZE):
            yield chunk

    def restart(self, offset, leftover):
        """Hands out the input from ``offset`` on, where a walk stopped; ``leftover`` is what
        the walk read beyond it."""
        self.offset = self.keep_from = offset
        if self._seekable:
            self._stream.seek(self._base + offset)
        elif leftover:
            self._pending.appendleft(leftover)


class _End(Exception):
    pass


class _Reader:
    """Bytes from a chunk iterator, taken in counted pieces; ``offset`` is that of the next byte.

    With ``record`` it keeps what it reads, so that ``taken()`` can return the bytes walked.
    """

    def __init__(self, chunks, offset, record=False):
        self._chunks = chunks
        self._buf = b""
        self._pos = 0
        self._start = offset
        self._record = [] if record else None
        self.offset = offset

    def _pull(self):
        chunk = next(self._chunks, None)
        if chunk is None:
            raise _End
        if self._record is not None:
            self._record.append(chunk)
        return chunk

    def take(self, n):
        while len(self._buf) - self._pos < n:
            self._buf = self._buf[self._pos:] + self._pull()
            self._pos = 0
        piece = self._buf[self._pos:self._pos + n]
        self._pos += n
        self.offset += n
        return piece

    def skip(self, n, sink=None):
        while n:
            if self._pos == len(self._buf):
                self._buf, self._pos = self._pull(), 0
            piece = self._buf[self._pos:self._pos + n]
            self._pos += len(piece)
            self.offset += len(piece)
            n -= len(piece)
            if sink is not None:
                sink(piece)

    def taken(self):
        data = b"".join(self._record)
        self._record = None
        return memoryview(data)[:self.offset - self._start]

    def leftover(self):
        """What was read beyond the bytes taken."""
        return self._buf[self._pos:]


class _Utf8Check:
    """Checks text fed in pieces that may split a character."""

    def __init__(self):
        self._decoder = codecs.getincrementaldecoder("utf-8")()
        self._ok = True

    def __call__(self, piece):
        if self._ok:
            try:
                self._decoder.decode(piece)
            except UnicodeDecodeError:
                self._ok = False

    def valid(self):
        self(b"")
        if self._ok:
            try:
                self._decoder.decode(b"", True)
            except UnicodeDecodeError:
                self._ok = False
        return self._ok


def _check_timestamp(data):
    if len(data) == 8:
        return int.from_bytes(data, "big") >> 34 <= 999_999_999
    if len(data) == 12:
        return int.from_bytes(data[:4], "big") <= 999_999_999
    return len(data) == 4


def _find_problem(reader):
    """Walks one object byte by byte; the (offset, reason) of its first problem, or None.

    The decoder stops at the first problem without saying where inside the object it is; this
    walk says where, in the order the decoder meets them.
    """
    start = reader.offset
    remaining = [1]
    try:
        while remaining:
            if not remaining[-1]:
                remaining.pop()
                continue
            remaining[-1] -= 1
            at = reader.offset
            b = reader.take(1)[0]
            if b <= 0x7F or b >= 0xE0 or b in (0xC0, 0xC2, 0xC3):
                continue
            if b == 0xC1:
                return at, MALFORMED
            if b <= 0x9F or 0xDC <= b <= 0xDF:
                if len(remaining) > NEST_LIMIT:
                    return at, TOO_DEEP
                if b <= 0x9F:
                    n = b & 0x0F
                else:
                    n = int.from_bytes(reader.take(2 if b in (0xDC, 0xDE) else 4), "big")
                remaining.append(n * 2 if b <= 0x8F or b >= 0xDE else n)
            elif b <= 0xBF or 0xD9 <= b <= 0xDB:
                n = b & 0x1F if b <= 0xBF else int.from_bytes(reader.take(1 << (b - 0xD9)), "big")
                check = _Utf8Check()
                reader.skip(n, check)
                if not check.valid():
                    return at, BAD_UTF8
            elif b <= 0xC6:
                reader.skip(int.from_bytes(reader.take(1 << (b - 0xC4)), "big"))
            elif b <= 0xC9 or 0xD4 <= b <= 0xD8:
                if b <= 0xC9:
                    n = int.from_bytes(reader.take(1 << (b - 0xC7)), "big")
                else:
                    n = 1 << (b - 0xD4)
                code = reader.take(1)[0]
                if code == 0xFF:
                    if n > 12 or not _check_timestamp(reader.take(n)):
                        reader.skip(n if n > 12 else 0)
                        return at, BAD_TIMESTAMP
                else:
                    reader.skip(n)
            else:
                reader.skip({0xCA: 4, 0xCB: 8, 0xCC: 1, 0xCD: 2, 0xCE: 4, 0xCF: 8,
                             0xD0: 1, 0xD1: 2, 0xD2: 4, 0xD3: 8}[b])
    except _End:
        return start, TRUNCATED
    return None


class _MapPairs(list):
    """A decoded map as its list of (key, value) pairs: any keys, duplicates kept."""

    __slots__ = ()


def _open_input(name, stdin):
    if name == "-":
        if stdin is None:
            raise _Failure("no standard input to read")
        try:
            st = os.fstat(stdin.fileno())
            size = st.st_size - stdin.tell() if stat.S_ISREG(st.st_mode) else None
        except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
            size = None
        return stdin, "<stdin>", size
    try:
        stream = open(name, "rb")
    except OSError as exc:
        raise _Failure(f"cannot open {name}: {exc.strerror or exc}") from None
    st = os.fstat(stream.fileno())
    return stream, name, st.st_size if stat.S_ISREG(st.st_mode) else None


_LIMIT = re.compile(r"exceeds max_\w+_len")


class _Run:
    """What one command needs: its streams, its input and the progress bar."""

    def __init__(self, args, stdin, stdout, stderr):
        self.args = args
        self.stdout = stdout
        self.stderr = stderr
        self.stream, self.name, self.size = _open_input(args.file, stdin)
        self.progress = None
        if (self.size is not None and self.size > PROGRESS_MIN_SIZE
                and getattr(stderr, "isatty", lambda: False)()):
            self.progress = _Progress(stderr, self.size)

    def clear_progress(self):
        if self.progress is not None:
            self.progress.clear()

    def close(self):
        self.clear_progress()
        if self.args.file != "-":
            self.stream.close()

    def objects(self, flush_output=False, values=True, **options):
        """Yields (offset, end offset, object) for each top-level object; _BadInput at the first
        problem, after the objects before it. Without ``values`` the objects are None where
        that saves decoding them twice."""
        source = _Source(self.stream, self.progress,
                         self.stdout.flush if flush_output else None)
        limits = {"max_array_len": ITEM_LIMIT, "max_map_len": ITEM_LIMIT}
        if self.size is not None:
            limits = {"max_array_len": min(self.size, ITEM_LIMIT),
                      "max_map_len": min(self.size // 2, ITEM_LIMIT)}
        origin = 0
        while True:
            unpacker = Unpacker(source, read_size=READ_SIZE, strict_map_key=False, **limits,
                                **options)
            while True:
                start = origin + unpacker.tell()
                source.keep_from = start
                try:
                    obj = unpacker.unpack()
                except OutOfData:
                    if source.offset == start:
                        return
                    error = None
                except OSError as exc:
                    if exc is source.output_error:
                        raise
                    raise _Failure(f"cannot read {self.name}: {exc.strerror or exc}") from None
                except Exception as exc:  # noqa: BLE001 - every decoding error is located below
                    error = exc
                else:
                    yield start, origin + unpacker.tell(), obj
                    continue
                unpacker = None  # its buffer may be large, and it is done with
                reader = _Reader(source.chunks_from(start), start, record=values)
                problem = _find_problem(reader)
                if problem is not None:
                    raise _BadInput(*problem)
                if error is None:
                    raise _BadInput(start, TRUNCATED)
                if not (isinstance(error, BufferFull) or _LIMIT.search(str(error))):
                    raise _BadInput(start, f"cannot decode the object ({error})")
                # Whole and valid, but beyond what the Unpacker takes in: decode it from its
                # bytes, whose real length now bounds every count in it, and go on after it.
                obj = None
                if values:
                    try:
                        obj = unpackb(reader.taken(), strict_map_key=False, **options)
                    except Exception as exc:  # noqa: BLE001 - reported as the object's problem
                        raise _BadInput(start, f"cannot decode the object ({exc})") from None
                yield start, reader.offset, obj
                origin = reader.offset
                source.restart(origin, reader.leftover())
                break


def _b64(data):
    return base64.b64encode(data).decode("ascii")


def _timestamp_json(ts):
    seconds, nanoseconds = ts.seconds, ts.nanoseconds
    if not -62135596800 <= seconds <= 253402300799:
        return {TAG_TIMESTAMP: [seconds, nanoseconds]}
    dt = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)
    text = (f"{dt.year:04d}-{dt.month:02d}-{dt.day:02d}T"
            f"{dt.hour:02d}:{dt.minute:02d}:{dt.second:02d}")
    if nanoseconds:
        text += f".{nanoseconds:09d}".rstrip("0")
    return {TAG_TIMESTAMP: text + "Z"}


def _float_json(x):
    return {TAG_FLOAT: "nan" if x != x else ("inf" if x > 0 else "-inf")}


def _leaf_json(obj):
    """The JSON form of a value JSON cannot hold (also json.dumps's ``default``)."""
    t = type(obj)
    if t is bytes:
        return {TAG_BIN: _b64(obj)}
    if t is Timestamp:
        return _timestamp_json(obj)
    if t is float:
        return _float_json(obj)
    raise TypeError(f"no JSON form for {t.__name__}")


def _dump_ext(code, data):
    return {TAG_EXT: [code, _b64(data)]}


def _dump_map(pairs):
    if all(type(k) is str and k not in TAGS for k, _ in pairs):
        plain = dict(pairs)
        if len(plain) == len(pairs):
            return plain
    return {TAG_MAP: [[k, v] for k, v in pairs]}


def _is_tag(obj):
    return len(obj) == 1 and next(iter(obj)) in TAGS


def _jsonable(obj, depth, max_depth, max_items):
    """A copy of a decoded object ready for json.dumps: non-finite floats replaced, and
    containers beyond ``max_depth`` or items beyond ``max_items`` elided."""
    t = type(obj)
    if t is float:
        return obj if math.isfinite(obj) else _float_json(obj)
    if t is list:
        if max_depth is not None and depth >= max_depth:
            return {TAG_ELIDED: f"array of {_plural(len(obj), 'item')}"}
        shown = obj if max_items is None else obj[:max_items]
        out = [_jsonable(x, depth + 1, max_depth, max_items) for x in shown]
        if len(shown) < len(obj):
            out.append({TAG_ELIDED: f"{_plural(len(obj) - len(shown), 'more item')}"})
        return out
    if t is dict:
        if _is_tag(obj):
            key, value = next(iter(obj.items()))
            if key != TAG_MAP:
                return obj
            if max_depth is not None and depth >= max_depth:
                return {TAG_ELIDED: f"map of {_plural(len(value), 'entry')}"}
            shown = value if max_items is None else value[:max_items]
            out = [[_jsonable(k, depth + 1, max_depth, max_items),
                    _jsonable(v, depth + 1, max_depth, max_items)] for k, v in shown]
            if len(shown) < len(value):
                out.append({TAG_ELIDED: f"{_plural(len(value) - len(shown), 'more entry')}"})
            return {TAG_MAP: out}
        if max_depth is not None and depth >= max_depth:
            return {TAG_ELIDED: f"map of {_plural(len(obj), 'entry')}"}
        out = {}
        for i, (k, v) in enumerate(obj.items()):
            if max_items is not None and i == max_items:
                out[TAG_ELIDED] = f"{_plural(len(obj) - max_items, 'more entry')}"
                break
            out[k] = _jsonable(v, depth + 1, max_depth, max_items)
        return out
    return obj


def _cmd_dump(run):
    args = run.args
    indent = 2 if args.pretty else None
    simple = args.max_depth is None and args.max_items is None
    out = run.stdout
    if sys.getrecursionlimit() < 3 * NEST_LIMIT:
        sys.setrecursionlimit(3 * NEST_LIMIT)  # _jsonable recurses once per level
    for start, _, obj in run.objects(flush_output=True, object_pairs_hook=_dump_map,
                                     ext_hook=_dump_ext):
        if not simple:
            obj = _jsonable(obj, 0, args.max_depth, args.max_items)
        try:
            text = json.dumps(obj, ensure_ascii=False, allow_nan=False, check_circular=False,
                              indent=indent, default=_leaf_json)
        except ValueError:
            text = json.dumps(_jsonable(obj, 0, None, None), ensure_ascii=False,
                              allow_nan=False, check_circular=False, indent=indent,
                              default=_leaf_json)
        if args.offsets:
            text = f"{start}\t{text}"
        out.write(text.encode("utf-8"))
        out.write(b"\n")
    return 0


def _cmd_validate(run):
    count = end = 0
    try:
        for _, end, _ in run.objects(values=False, object_pairs_hook=_MapPairs):
            count += 1
    except _BadInput as problem:
        run.clear_progress()
        run.stdout.write(f"{run.name}: offset {problem.offset}: {problem.reason}\n".encode())
        return 1
    run.stdout.write(f"{run.name}: valid, {_plural(count, 'object')}, "
                     f"{_plural(end, 'byte')}\n".encode())
    return 0


def _plural(n, word):
    if n == 1:
        return f"{n} {word}"
    return f"{n} {word[:-1]}ies" if word.endswith("y") else f"{n} {word}s"


TYPE_NAMES = {
    type(None): "nil", bool: "bool", int: "int", float: "float", str: "str", bytes: "bin",
    list: "array", _MapPairs: "map", ExtType: "ext", Timestamp: "timestamp",
}
TYPE_ORDER = ["map", "array", "str", "bin", "int", "float", "bool", "nil", "ext", "timestamp"]


def _walk_stats(container, values):
    """Counts the values inside ``container`` by type into ``values``; returns its depth."""
    depth = 0
    level = [container]
    while level:
        depth += 1
        inner = []
        add = inner.append
        for x in level:
            if type(x) is _MapPairs:
                for pair in x:
                    for y in pair:
                        t = type(y)
                        values[t] += 1
                        if t is list or t is _MapPairs:
                            add(y)
            else:
                for y in x:
                    t = type(y)
                    values[t] += 1
                    if t is list or t is _MapPairs:
                        add(y)
        level = inner
    return depth


def _cmd_stats(run):
    values = dict.fromkeys(TYPE_NAMES, 0)
    per_type = {}
    count = total = deepest = 0
    deepest_at = None
    for start, end, obj in run.objects(object_pairs_hook=_MapPairs):
        count += 1
        size = end - start
        total = end
        name = TYPE_NAMES[type(obj)]
        entry = per_type.get(name)
        if entry is None:
            entry = per_type[name] = {"objects": 0, "bytes": 0, "largest": 0, "largest_at": start}
        entry["objects"] += 1
        entry["bytes"] += size
        if size > entry["largest"]:
            entry["largest"], entry["largest_at"] = size, start
        t = type(obj)
        values[t] += 1
        if t is list or t is _MapPairs:
            depth = _walk_stats(obj, values)
            if depth > deepest:
                deepest, deepest_at = depth, start
    by_name = {TYPE_NAMES[t]: n for t, n in values.items()}
    rows = []
    for name in TYPE_ORDER:
        if name in per_type or by_name[name]:
            entry = per_type.get(name, {"objects": 0, "bytes": 0, "largest": 0, "largest_at": None})
            rows.append({"type": name, **entry, "values": by_name[name]})
    if run.args.json:
        report = {"objects": count, "bytes": total, "deepest_nesting": deepest,
                  "deepest_at": deepest_at, "types": rows}
        run.stdout.write(json.dumps(report, indent=2).encode() + b"\n")
        return 0
    lines = [f"{run.name}: {_plural(count, 'object')} in {_plural(total, 'byte')}; "
             f"deepest nesting {deepest}"
             + (f" (object at offset {deepest_at})" if deepest_at is not None else "")]
    if rows:
        header = ("type", "objects", "bytes", "largest", "at offset", "values")
        table = [header] + [
            (r["type"], str(r["objects"]), str(r["bytes"]),
             str(r["largest"]) if r["objects"] else "-",
             str(r["largest_at"]) if r["objects"] else "-", str(r["values"]))
            for r in rows]
        widths = [max(len(row[i]) for row in table) for i in range(len(header))]
        lines.append("")
        for row in table:
            lines.append("  ".join([row[0].ljust(widths[0])]
                                   + [cell.rjust(w) for cell, w in zip(row[1:], widths[1:])]))
    run.stdout.write(("\n".join(lines) + "\n").encode())
    return 0


_RFC3339 = re.compile(
    r"(\d{4})-(\d{2})-(\d{2})[Tt ](\d{2}):(\d{2}):(\d{2})(?:\.(\d{1,9}))?([Zz]|[+-]\d{2}:\d{2})")
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def _parse_rfc3339(text):
    """The Timestamp for an RFC 3339 date-time with an offset, or None for any other text."""
    m = _RFC3339.fullmatch(text)
    if m is None:
        return None
    year, month, day, hour, minute, second = (int(g) for g in m.groups()[:6])
    try:
        dt = datetime.datetime(year, month, day, hour, minute, second,
                               tzinfo=datetime.timezone.utc)
    except ValueError:
        return None
    delta = dt - _EPOCH
    seconds = delta.days * 86400 + delta.seconds
    zone = m.group(8)
    if zone not in "Zz":
        offset = int(zone[1:3]) * 3600 + int(zone[4:6]) * 60
        seconds -= offset if zone[0] == "+" else -offset
    nanoseconds = int((m.group(7) or "").ljust(9, "0"))
    return Timestamp(seconds, nanoseconds)


class _BadTag(ValueError):
    pass


class _Pairs:
    """A map from a "$map" form whose keys a dict cannot hold (unhashable or equal keys)."""

    __slots__ = ("pairs",)

    def __init__(self, pairs):
        self.pairs = pairs


def _unb64(text, tag):
    if type(text) is not str:
        raise _BadTag(f'"{tag}" wants a base64 string')
    try:
        return base64.b64decode(text, validate=True)
    except binascii.Error:
        raise _BadTag(f'"{tag}" wants a base64 string') from None


def _untag(key, value):
    if key == TAG_BIN:
        return _unb64(value, key)
    if key == TAG_EXT:
        if (type(value) is not list or len(value) != 2 or type(value[0]) is not int
                or not -128 <= value[0] <= 127):
            raise _BadTag('"$ext" wants [code from -128 to 127, base64 data]')
        return ExtType(value[0], _unb64(value[1], key))
    if key == TAG_TIMESTAMP:
        ts = None
        try:
            if type(value) is str:
                ts = _parse_rfc3339(value)
            elif type(value) is list and len(value) == 2 and all(type(v) is int for v in value):
                ts = Timestamp(*value)
        except ValueError:
            ts = None
        if ts is None:
            raise _BadTag('"$timestamp" wants an RFC 3339 date-time or [seconds, nanoseconds]')
        return ts
    if key == TAG_FLOAT:
        special = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}
        if type(value) is not str or value not in special:
            raise _BadTag('"$float" wants "nan", "inf" or "-inf"')
        return special[value]
    if key == TAG_MAP:
        if type(value) is not list or not all(type(p) is list and len(p) == 2 for p in value):
            raise _BadTag('"$map" wants a list of [key, value] pairs')
        try:
            plain = dict(value)
        except TypeError:
            plain = None
        if plain is not None and len(plain) == len(value):
            return plain
        return _Pairs([tuple(p) for p in value])
    raise _BadTag('"$elided" marks abbreviated output (--max-depth, --max-items), '
                  "which cannot be encoded")


class _Decoder:
    """JSON text to the values to pack, with the tagged forms turned back into theirs."""

    def __init__(self, datetimes):
        self.datetimes = datetimes
        self.has_pairs = False
        self._json = json.JSONDecoder(object_pairs_hook=self._object)

    def _object(self, pairs):
        if len(pairs) == 1 and pairs[0][0] in TAGS:
            value = _untag(*pairs[0])
            if type(value) is _Pairs:
                self.has_pairs = True
            return value
        for key, _ in pairs:
            if key in TAGS:
                if key == TAG_ELIDED:
                    _untag(key, None)
                raise _BadTag(f'an object with "{key}" and other keys (a tag stands alone)')
        return dict(pairs)

    def decode(self, text):
        self.has_pairs = False
        doc = self._json.decode(text)
        if self.datetimes:
            doc = _convert_datetimes(doc)
        return doc


def _convert_datetimes(doc):
    if type(doc) is str:
        return _parse_rfc3339(doc) or doc
    stack = [doc]
    while stack:
        x = stack.pop()
        t = type(x)
        if t is list:
            for i, y in enumerate(x):
                if type(y) is str:
                    ts = _parse_rfc3339(y)
                    if ts is not None:
                        x[i] = ts
                elif type(y) in (list, dict, _Pairs):
                    stack.append(y)
        elif t is dict:
            for k, y in x.items():
                if type(y) is str:
                    ts = _parse_rfc3339(y)
                    if ts is not None:
                        x[k] = ts
                elif type(y) in (list, dict, _Pairs):
                    stack.append(y)
        elif t is _Pairs:
            x.pairs = [(k, _parse_rfc3339(v) or v if type(v) is str else v) for k, v in x.pairs]
            stack.extend(v for _, v in x.pairs if type(v) in (list, dict, _Pairs))
    return doc


def _pack_with_pairs(packer, doc):
    """Packs a document holding _Pairs maps, which packb cannot see into, header by header."""
    stack = [iter((doc,))]
    while stack:
        for x in stack[-1]:
            t = type(x)
            if t is list:
                packer.pack_array_header(len(x))
                stack.append(iter(x))
                break
            if t is dict:
                packer.pack_map_header(len(x))
                stack.append(iter([v for kv in x.items() for v in kv]))
                break
            if t is _Pairs:
                packer.pack_map_header(len(x.pairs))
                stack.append(iter([v for kv in x.pairs for v in kv]))
                break
            packer.pack(x)
        else:
            stack.pop()
    data = packer.bytes()
    packer.reset()
    return data


def _cmd_encode(run):
    args = run.args
    options = {"use_single_float": args.use_single_float, "use_bin_type": args.use_bin_type}
    packer = Packer(**options)
    pairs_packer = Packer(autoreset=False, **options)
    decoder = _Decoder(args.datetime)
    out = run.stdout
    if getattr(out, "isatty", lambda: False)():
        raise _Failure("refusing to write MessagePack to a terminal; redirect standard output")

    def encode(text, where):
        try:
            doc = decoder.decode(text)
        except json.JSONDecodeError as exc:
            line = exc.lineno if where is None else where
            raise _Failure(f"{run.name}: line {line} column {exc.colno}: {exc.msg}") from None
        except _BadTag as exc:
            raise _Failure(f"{run.name}: {'' if where is None else f'line {where}: '}{exc}") \
                from None
        try:
            if decoder.has_pairs:
                return _pack_with_pairs(pairs_packer, doc)
            return packer.pack(doc)
        except (TypeError, ValueError, OverflowError) as exc:
            pairs_packer.reset()
            raise _Failure(f"{run.name}: {'' if where is None else f'line {where}: '}"
                           f"cannot encode: {exc}") from None

    stream = _ReadErrors(run.stream, run.name)
    done = 0
    if args.lines:
        for number, raw in enumerate(stream, 1):
            done += len(raw)
            if run.progress is not None:
                run.progress.update(done)
            text = _text(raw, run.name, number)
            if text.strip():
                out.write(encode(text, number))
    else:
        raw = stream.read()
        if run.progress is not None:
            run.progress.update(len(raw))
        text = _text(raw, run.name, None)
        if not text.strip():
            raise _Failure(f"{run.name}: no JSON document")
        out.write(encode(text, None))
    return 0


class _ReadErrors:
    """The input, reporting its read errors as such (an OSError that escapes is the output's)."""

    def __init__(self, stream, name):
        self._stream, self._name = stream, name

    def _fail(self, exc):
        return _Failure(f"cannot read {self._name}: {exc.strerror or exc}")

    def read(self):
        try:
            return self._stream.read()
        except OSError as exc:
            raise self._fail(exc) from None

    def __iter__(self):
        lines = iter(self._stream)
        while True:
            try:
                line = next(lines)
            except StopIteration:
                return
            except OSError as exc:
                raise self._fail(exc) from None
            yield line


def _text(raw, name, line):
    try:
        return raw.decode("utf-8-sig" if line in (None, 1) else "utf-8")
    except UnicodeDecodeError as exc:
        where = f"line {line}: " if line is not None else ""
        raise _Failure(f"{name}: {where}invalid UTF-8 at byte {exc.start}") from None


def _parser():
    parser = _ArgumentParser(
        prog=PROG, description="Look inside MessagePack files and streams.",
        epilog="FILE is a path, or - (the default) for standard input.")
    parser.add_argument("--version", action="version", version=f"{PROG} {quoril.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, help_text, epilog=None):
        sub = commands.add_parser(name, help=help_text, description=help_text, epilog=epilog,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.add_argument("file", nargs="?", default="-", metavar="FILE",
                         help="the input (default: - for standard input)")
        return sub

    dump = command("dump", "Write each top-level object as one line of JSON.", DUMP_EPILOG)
    dump.add_argument("--pretty", action="store_true", help="indent the JSON")
    dump.add_argument("--offsets", action="store_true",
                      help="start each object with its byte offset and a tab")
    dump.add_argument("--max-depth", type=_count, metavar="N",
                      help="elide containers nested more than N deep")
    dump.add_argument("--max-items", type=_count, metavar="N",
                      help="show the first N items of each array and map")

    command("validate", "Check that the input is a sequence of whole, valid objects.\n"
            "Exit 0 if it is; else print the offset and reason of its first problem, exit 1.",
            VALIDATE_EPILOG)

    stats = command("stats", "Count the objects and their bytes by type; the deepest nesting.")
    stats.add_argument("--json", action="store_true", help="write the figures as JSON")

    encode = command("encode", "Turn JSON into MessagePack on standard output.", ENCODE_EPILOG)
    encode.add_argument("--lines", action="store_true",
                        help="one JSON document per line (blank lines are skipped)")
    encode.add_argument("--use-single-float", action="store_true",
                        help="write floats as 32-bit floats")
    encode.add_argument("--use-bin-type", action=argparse.BooleanOptionalAction, default=True,
                        help="write bytes as bin (the default) or, with --no-use-bin-type, "
                             "as raw str")
    encode.add_argument("--datetime", action="store_true",
                        help="write strings that are RFC 3339 date-times with an offset "
                             "(2024-05-01T12:00:00Z) as Timestamps")
    return parser


REASONS = [
    (MALFORMED, "the offset of that byte"),
    (TRUNCATED, "where the incomplete top-level object starts"),
    (BAD_UTF8, "where that str starts (its header byte)"),
    (TOO_DEEP, "where the first container too deep starts"),
    (BAD_TIMESTAMP, "where that ext starts"),
    ("cannot decode the object (...)", "where the top-level object starts"),
]
VALIDATE_EPILOG = "The reasons, and the offset each reports:\n" + "".join(
    f"  {reason:45}{offset}\n" for reason, offset in REASONS)


def _count(text):
    try:
        n = int(text)
    except ValueError:
        n = -1
    if n < 0:
        raise argparse.ArgumentTypeError(f"not a count: {text!r}")
    return n


COMMANDS = {"dump": _cmd_dump, "validate": _cmd_validate, "stats": _cmd_stats,
            "encode": _cmd_encode}


def main(argv=None, *, stdin=None, stdout=None, stderr=None):
    """Runs the command line ``argv`` (default: sys.argv[1:]); returns the exit status.

    ``stdin`` and ``stdout`` are binary streams, ``stderr`` a text stream (default: the
    process's own).
    """
    # Any of the three may be missing: a process started with it closed has None there.
    stdin = getattr(sys.stdin, "buffer", None) if stdin is None else stdin
    stdout = getattr(sys.stdout, "buffer", None) if stdout is None else stdout
    stderr = (sys.stderr or open(os.devnull, "w")) if stderr is None else stderr
    if stdout is None:
        stdout = open(os.devnull, "wb")
    run = None

    def fail(text, status):
        if run is not None:
            run.clear_progress()
        stderr.write(f"{text}\n")
        return status

    try:
        args = _parser().parse_args(argv)
        run = _Run(args, stdin, stdout, stderr)
        status = COMMANDS[args.command](run)
        stdout.flush()
        return status
    except _Failure as exc:
        _flush_quietly(stdout)
        if isinstance(exc, _Usage):
            return fail(exc, exc.status)
        if isinstance(exc, _BadInput):
            return fail(f"{PROG}: {run.name}: {exc}", exc.status)
        return fail(f"{PROG}: {exc}", exc.status)
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, and keep the interpreter's final
        # flush of stdout from reporting it again.
        _silence_stdout(stdout)
        return 1
    except OSError as exc:
        return fail(f"{PROG}: cannot write the output: {exc.strerror or exc}", 1)
    except Exception as exc:  # noqa: BLE001 - a command line reports, it never shows a traceback
        return fail(f"{PROG}: unexpected error: {type(exc).__name__}: {exc}", 1)
    except KeyboardInterrupt:
        return fail(f"{PROG}: interrupted", 130)
    finally:
        if run is not None:
            run.close()


def _flush_quietly(stream):
    try:
        stream.flush()
    except BrokenPipeError:
        _silence_stdout(stream)


def _silence_stdout(stream):
    try:
        fd = stream.fileno()
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)
