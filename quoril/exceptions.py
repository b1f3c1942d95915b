"""Exceptions raised by quoril.

Every exception quoril raises for bad or short input derives from
:class:`QuorilError`; the ones that mean "this is not valid MessagePack" are
also :class:`ValueError`, so code that already catches ValueError keeps working.
"""

__all__ = [
    "QuorilError",
    "UnpackException",
    "BufferFull",
    "OutOfData",
    "ExtraData",
    "FormatError",
    "StackError",
]


class QuorilError(Exception):
    """Base class of the exceptions defined by quoril."""


class UnpackException(QuorilError):
    """Base class of the errors raised while decoding."""


class BufferFull(UnpackException):
    """The Unpacker's buffer would grow beyond ``max_buffer_size``."""


class OutOfData(UnpackException):
    """The input ended before a complete object was decoded."""


class FormatError(UnpackException, ValueError):
    """The input is not valid MessagePack (for example the never-used byte 0xc1)."""


class StackError(UnpackException, ValueError):
    """The input nests containers deeper than the decoder allows."""


class ExtraData(UnpackException, ValueError):
    """``unpackb`` decoded one object and found bytes after it.

    ``unpacked`` is the decoded object and ``extra`` the bytes that followed.
    """

    def __init__(self, unpacked, extra):
        super().__init__(unpacked, extra)
        self.unpacked = unpacked
        self.extra = extra

    def __str__(self):
        return "unpack(b) received extra data."
