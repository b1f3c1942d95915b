"""The native module's namespace, import behaviour, pickling and argument errors."""

import copy
import importlib
import pickle
import subprocess
import sys
import textwrap

import pytest

import quoril
import quoril._cquoril as c
from quoril import Packer, Unpacker, unpackb


def test_namespace_after_import():
    names = set(vars(c))
    expected = {
        "Packer", "Unpacker", "datetime", "BufferFull", "OutOfData", "ExtraData",
        "FormatError", "StackError", "default_read_extended_type", "unpackb",
        "__builtins__", "__test__", "__loader__", "__file__", "__package__",
    }
    assert expected <= names
    for absent in ("ExtType", "Timestamp", "utc", "epoch"):
        assert absent not in names
    assert c.__doc__ is None
    assert c.__test__ == {}
    assert c.__package__ == "quoril"
    import builtins
    import datetime

    assert c.__builtins__ is builtins
    assert c.datetime is datetime
    for name in ("BufferFull", "OutOfData", "ExtraData", "FormatError", "StackError"):
        assert getattr(c, name) is getattr(quoril.exceptions, name)


def test_gil_stays_disabled():
    if hasattr(sys, "_is_gil_enabled") and "free-threading" in sys.version:
        assert sys._is_gil_enabled() is False


@pytest.mark.thread_unsafe(reason="removes the module from sys.modules for a moment")
@pytest.mark.no_refleak(reason="Re-imports and subinterpreters grow CPython's own import state")
def test_reimport_and_reload_give_the_same_module():
    saved = sys.modules.pop("quoril._cquoril")
    try:
        again = importlib.import_module("quoril._cquoril")
        assert again is saved
    finally:
        sys.modules["quoril._cquoril"] = saved
    assert importlib.reload(c) is c
    assert c.Packer is Packer


# Stands in for the quoril package so that importing quoril._cquoril runs only the
# extension's own imports of its siblings.
BARE_PACKAGE = """
import importlib.util, sys, types
spec = importlib.util.find_spec("quoril")
pkg = types.ModuleType("quoril")
pkg.__path__ = list(spec.submodule_search_locations)
sys.modules["quoril"] = pkg
"""


def run_python(code):
    return subprocess.run(
        [sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60
    )


def test_import_is_silent_on_the_version_built_for():
    # The version check compares with the headers the module was compiled against; a fixed
    # version there warns falsely on every other interpreter.
    proc = run_python("import warnings; warnings.simplefilter('error'); import quoril._cquoril")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""


@pytest.mark.no_refleak(reason="Re-imports and subinterpreters grow CPython's own import state")
def test_second_interpreter_is_refused():
    _interpreters = pytest.importorskip("_interpreters")
    import os
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out")
        interp = _interpreters.create("legacy")
        try:
            _interpreters.run_string(interp, textwrap.dedent(f"""
                import sys
                sys.path[:] = {sys.path!r}
                try:
                    import quoril._cquoril
                    result = "imported"
                except ImportError as exc:
                    result = str(exc)
                with open({out!r}, "w") as f:
                    f.write(result)
            """))
        finally:
            _interpreters.destroy(interp)
        with open(out) as f:
            assert f.read() == (
                "Interpreter change detected - this module can only be loaded into one "
                "interpreter per process."
            )
    assert Packer().pack(1) == b"\x01"


@pytest.mark.no_refleak(reason="Re-imports and subinterpreters grow CPython's own import state")
def test_failed_sibling_import_leaves_nothing_behind():
    proc = run_python(BARE_PACKAGE + textwrap.dedent("""

        class Block:
            active = True
            def find_spec(self, name, path, target=None):
                if self.active and name == "quoril.exceptions":
                    raise ImportError("blocked for the test")
                return None

        block = Block()
        sys.meta_path.insert(0, block)
        try:
            import quoril._cquoril
            print("imported")
        except ImportError as exc:
            print("failed:", exc)
        print("quoril._cquoril" in sys.modules)
        block.active = False
        import quoril._cquoril as m
        print(m.OutOfData.__module__, m.unpackb(b"\\x01"))
    """))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "failed: blocked for the test",
        "False",
        "quoril.exceptions 1",
    ]


@pytest.mark.no_refleak(reason="Re-imports and subinterpreters grow CPython's own import state")
def test_missing_sibling_name():
    proc = run_python(BARE_PACKAGE + textwrap.dedent("""
        import quoril.exceptions
        del quoril.exceptions.StackError
        try:
            import quoril._cquoril
        except ImportError as exc:
            print(exc)
    """))
    assert proc.stdout.strip() == "cannot import name StackError", proc.stderr


@pytest.mark.parametrize(
    "obj, message",
    [
        (Packer, "no default __reduce__ due to non-trivial __cinit__"),
        (Unpacker, "self.ctx cannot be converted to a Python object for pickling"),
    ],
)
def test_pickling_and_copying_refused(obj, message):
    instance = obj()
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(),
                    lambda o: o.__setstate__(None)):
        with pytest.raises(TypeError) as info:
            attempt(instance)
        assert str(info.value) == message


@pytest.mark.no_refleak(reason="creating classes grows the type caches")
def test_classes_are_immutable_and_subclassable():
    with pytest.raises(TypeError):
        Packer.x = 1
    with pytest.raises(TypeError):
        del Unpacker.feed

    class MyUnpacker(Unpacker):
        pass

    class MyPacker(Packer):
        pass

    u = MyUnpacker()
    u.extra = 5
    u.feed(b"\x01")
    assert u.unpack() == 1 and u.extra == 5
    assert MyPacker(autoreset=True).pack([1]) == b"\x91\x01"
    assert not hasattr(Packer(), "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(Packer())


def test_unbound_method_refuses_other_objects():
    with pytest.raises(TypeError):
        Packer.pack(object(), 1)


def test_default_read_extended_type():
    with pytest.raises(NotImplementedError) as info:
        c.default_read_extended_type(1, b"")
    assert str(info.value) == "Cannot decode extended type with typecode=1"
    with pytest.raises(TypeError):
        c.default_read_extended_type("x", b"")


def _raises(call):
    with pytest.raises(Exception) as info:
        call()
    return info


ARGUMENT_ERRORS = [
    (lambda: unpackb(), TypeError, "unpackb() takes exactly 1 positional argument (0 given)"),
    (lambda: unpackb(b"\x01", b"\x02"), TypeError,
     "unpackb() takes exactly 1 positional argument (2 given)"),
    (lambda: unpackb(b"\x01", bogus=1), TypeError,
     "unpackb() got an unexpected keyword argument 'bogus'"),
    (lambda: unpackb(b"\x01", packed=b"\x01"), TypeError,
     "unpackb() got multiple values for keyword argument 'packed'"),
    (lambda: unpackb(b"\x01", **{1: 2}), TypeError, "keywords must be strings"),
    (lambda: Packer().pack(1, obj=2), TypeError,
     "pack() got multiple values for keyword argument 'obj'"),
    (lambda: Packer().reset(x=1), TypeError, "reset() got an unexpected keyword argument 'x'"),
    (lambda: Packer().reset(1), TypeError, "reset() takes exactly 0 positional arguments (1 given)"),
    (lambda: Unpacker(None, 4096), TypeError,
     "__init__() takes at most 1 positional argument (2 given)"),
    (lambda: Packer(1024), TypeError, "__init__() takes exactly 0 positional arguments (1 given)"),
    (lambda: Packer(1, 2), TypeError, "__cinit__() takes at most 1 positional argument (2 given)"),
    (lambda: Packer(print), TypeError, "an integer is required"),
    (lambda: Packer(buf_size=-1), OverflowError, "can't convert negative value to size_t"),
    (lambda: c.default_read_extended_type(data=b""), TypeError,
     "default_read_extended_type() takes exactly 2 positional arguments (0 given)"),
    (lambda: Unpacker(read_size=2.0), TypeError,
     "'float' object cannot be interpreted as an integer"),
    (lambda: Unpacker(timestamp=2**31), OverflowError, "value too large to convert to int"),
    (lambda: Unpacker(timestamp="x"), TypeError, "an integer is required"),
    (lambda: Unpacker().unpack(1), TypeError,
     "unpack() takes exactly 0 positional arguments (1 given)"),
    (lambda: Unpacker().tell(x=1), TypeError, "tell() got an unexpected keyword argument 'x'"),
    (lambda: Unpacker().read_bytes(), TypeError,
     "read_bytes() takes exactly 1 positional argument (0 given)"),
    (lambda: Unpacker().feed(), TypeError, "feed() takes exactly 1 positional argument (0 given)"),
    (lambda: Packer().pack_ext_type(1), TypeError,
     "pack_ext_type() takes exactly 2 positional arguments (1 given)"),
    (lambda: Packer().pack_ext_type(128, b""), OverflowError,
     "value too large to convert to char"),
    (lambda: Packer().pack_array_header(2**64), OverflowError, None),
    (lambda: Packer().pack_array_header("3"), TypeError, "an integer is required"),
    (lambda: Packer(unicode_errors="\u00e9"), UnicodeEncodeError, None),
    (lambda: Packer(unicode_errors=5), TypeError, None),
    (lambda: Packer(default=1), TypeError, "default must be a callable."),
]


@pytest.mark.parametrize("call, exc_type, message", ARGUMENT_ERRORS)
def test_argument_errors(call, exc_type, message):
    info = _raises(call)
    assert type(info.value) is exc_type
    if message is not None:
        assert message in str(info.value)
        if "keywords must be strings" not in message:
            assert str(info.value) == message


class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class StrictIntSubclass(int):
    pass


def test_converters():
    u = Unpacker(timestamp=2.7)
    u.feed(b"\xd6\xff\x00\x00\x00\x01")
    assert u.unpack() == 1_000_000_000
    assert Packer().pack_array_header(True) == b"\x91"
    assert Packer().pack_array_header(IntLike(2)) == b"\x92"
    with pytest.raises(TypeError, match=r"__int__ returned non-int \(type str\)"):
        Packer().pack_array_header(IntLike("x"))
    with pytest.warns(DeprecationWarning, match="strict subclass of int is deprecated"):
        assert Packer().pack_array_header(IntLike(StrictIntSubclass(3))) == b"\x93"
    u = Unpacker(use_list=None)
    u.feed(b"\x91\x01")
    assert u.unpack() == (1,)
    with pytest.raises(ZeroDivisionError):
        Unpacker(use_list=Truthy(ZeroDivisionError()))
    for errors in ("strict", b"strict", bytearray(b"strict")):
        assert Packer(unicode_errors=errors).pack("a") == b"\xa1a"
