"""Fuzz targets: each takes the fuzzer's bytes and raises only on a finding."""

import quoril

DOCUMENTED = (ValueError, TypeError, OverflowError)
STREAM_ERRORS = DOCUMENTED + (quoril.OutOfData, quoril.BufferFull)


def unpackb(data):
    for options in ({}, {"strict_map_key": False, "use_list": False, "raw": True, "timestamp": 3}):
        try:
            quoril.unpackb(data, **options)
        except DOCUMENTED:
            pass


def _pieces(data):
    """The first byte chooses how the rest is cut into pieces."""
    if not data:
        return []
    seed, body = data[0], data[1:]
    sizes = [1 + (seed >> 4), 1 + (seed & 15) * 3]
    out, i, k = [], 0, 0
    while i < len(body):
        n = sizes[k % 2]
        out.append(body[i:i + n])
        i += n
        k += 1
    return out


def unpacker(data):
    u = quoril.Unpacker(max_buffer_size=1 << 16, strict_map_key=False, use_list=False)
    try:
        for piece in _pieces(data):
            u.feed(piece)
            for _ in u:
                pass
    except STREAM_ERRORS:
        pass


def readers(data):
    """Mixes skip, the header readers and unpack; the first byte picks the order."""
    if not data:
        return
    plan, body = data[0], data[1:]
    u = quoril.Unpacker(max_buffer_size=1 << 16, strict_map_key=False, use_list=False)
    u.feed(body)
    ops = [u.unpack, u.skip, u.read_array_header, u.read_map_header]
    for step in range(64):
        op = ops[(plan >> (2 * (step % 4))) & 3]
        before = u.tell()
        try:
            op()
        except quoril.OutOfData:
            return
        except DOCUMENTED:
            try:
                u.skip()  # mode lock or a bad item: one more try must not corrupt state
            except STREAM_ERRORS:
                return
        if u.tell() < before:
            raise AssertionError("position went backwards")


def roundtrip(data):
    """Decoding, packing and decoding again reaches a fixed point."""
    try:
        value = quoril.unpackb(data, strict_map_key=False, use_list=False)
    except DOCUMENTED:
        return
    packed = quoril.packb(value)
    again = quoril.unpackb(packed, strict_map_key=False, use_list=False)
    if quoril.packb(again) != packed:
        raise AssertionError("pack(unpack(pack(x))) differs from pack(x)")


class _HookError(Exception):
    pass


class _SourceError(Exception):
    pass


_REFUSED = ("cannot be called recursively while unpacking is in progress",
            "cannot be called while unpacking is in progress")


def _item_ends(body, options):
    """Offsets where items end, found by skipping on a plain Unpacker: every value the
    scripted run returns must end on one of them and equal that item decoded alone."""
    u = quoril.Unpacker(max_buffer_size=1 << 16, **options)
    u.feed(body)
    ends = [0]
    for _ in range(len(body) + 1):
        try:
            u.skip()
        except quoril.OutOfData:
            break
        except (quoril.FormatError, quoril.StackError):
            break
        ends.append(u.tell())
    return ends


def callers(data):
    """Decodes the input through an Unpacker whose source and hooks are scripted by the
    first four bytes: read sizes and faults, hook results (value, raise, re-enter which
    method), and the operations. Raises only on a finding: an exception no caller gave or
    the documentation lists, a re-entry that was not refused, a value that does not span
    whole items (or differs from that item decoded alone), or a position that goes
    backwards."""
    if len(data) < 4:
        return
    s_read, s_fault, s_hook, s_ops = data[:4]
    body = data[4:]
    options = {"strict_map_key": bool(s_ops & 1), "use_list": bool(s_ops & 2)}
    if s_ops & 4:
        options["max_str_len"] = s_read & 7
    ends = _item_ends(body, {k: v for k, v in options.items() if k != "max_str_len"})
    starts = dict(zip(ends[1:], ends))
    holder = []
    chunk = 1 + (s_read >> 4)
    fault_at, fault_kind = s_fault >> 3, s_fault & 7
    hook_kind, hook_every, reentry = s_hook & 3, 1 + ((s_hook >> 2) & 3), s_hook >> 4
    calls = {"read": 0, "hook": 0}
    pos = [0]

    def reenter(which):
        u = holder[0]
        ops = [u.unpack, u.skip, u.read_array_header, u.read_map_header, lambda: next(u),
               lambda: u.feed(b"\x00"), lambda: u.read_bytes(1), u.__init__]
        if which >= len(ops):
            return
        try:
            ops[which]()
        except RuntimeError as exc:
            if not str(exc).endswith(_REFUSED):
                raise AssertionError(f"re-entry refused with {exc!r}") from exc
            return
        raise AssertionError(f"re-entry {which} was not refused")

    class Source:
        def read(self, n):
            call = calls["read"]
            calls["read"] += 1
            if call == fault_at:
                if fault_kind == 1:
                    raise _SourceError("read failed")
                if fault_kind == 2:
                    return "not bytes"
                if fault_kind == 3:
                    return bytearray(b"\x01")
                if fault_kind == 4:
                    reenter(reentry & 7)
                if fault_kind == 5:
                    n += 7
            n = min(n, chunk)
            out = body[pos[0]:pos[0] + n]
            pos[0] += len(out)
            return out

    def hook(*args):
        calls["hook"] += 1
        if calls["hook"] % hook_every == 0:
            if reentry & 8:
                raise _HookError("hook refused")
            reenter(reentry & 7)
        if len(args) == 2:
            return quoril.ExtType(*args)
        return args[0]

    hooks = {}
    if hook_kind == 1:
        hooks["list_hook"] = hook
    elif hook_kind == 2:
        hooks["object_hook"] = hook
    elif hook_kind == 3:
        hooks["ext_hook"] = hook
    u = quoril.Unpacker(Source(), read_size=chunk, max_buffer_size=1 << 16, **options, **hooks)
    holder.append(u)
    allowed = STREAM_ERRORS + (_HookError, _SourceError, quoril.FormatError, quoril.StackError)
    op = u.skip if s_ops & 8 else u.unpack
    for _ in range(len(body) + 8):
        before = u.tell()
        try:
            value = op()
        except quoril.OutOfData:
            if calls["read"] > fault_at or fault_kind == 0:
                return
            continue
        except (quoril.FormatError, quoril.StackError):
            return
        except allowed:
            if u.tell() < before:
                raise AssertionError("position went backwards")
            continue
        end = u.tell()
        if end not in starts:
            raise AssertionError(f"value {value!r} ends at byte {end}, inside an item")
        if op == u.unpack:
            item = body[starts[end]:end]
            try:
                expected = quoril.unpackb(item, **options)
            except DOCUMENTED as exc:
                raise AssertionError(f"{item.hex()} fails alone ({exc!r}) but gave {value!r}")
            if quoril.packb(value) != quoril.packb(expected):
                raise AssertionError(f"{item.hex()} gave {value!r}, alone {expected!r}")
