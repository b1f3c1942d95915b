"""quoril: a fast, thread-safe MessagePack serializer.

    >>> import quoril
    >>> quoril.unpackb(quoril.packb({"a": [1, 2.5, None]}))
    {'a': [1, 2.5, None]}
"""

from .exceptions import (
    BufferFull,
    ExtraData,
    FormatError,
    OutOfData,
    QuorilError,
    StackError,
    UnpackException,
)
from .ext import ExtType, Timestamp
from ._cquoril import Packer, Unpacker, unpackb
from ._cquoril import _packb as packb

__version__ = "0.1.0"

__all__ = [
    "BufferFull",
    "ExtType",
    "ExtraData",
    "FormatError",
    "OutOfData",
    "Packer",
    "QuorilError",
    "StackError",
    "Timestamp",
    "UnpackException",
    "Unpacker",
    "pack",
    "packb",
    "unpack",
    "unpackb",
]

def pack(o, stream, **kwargs):
    """Pack ``o`` and write the bytes to the binary ``stream``."""
    stream.write(packb(o, **kwargs))


def unpack(stream, **kwargs):
    """Read the whole binary ``stream`` and decode the one object it holds.

    The keyword options are those of :func:`unpackb`.
    """
    return unpackb(stream.read(), **kwargs)


dumps = packb
loads = unpackb
