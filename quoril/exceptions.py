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

    # The native code raises BufferFull, FormatError and StackError as bare classes:
    # without this text they would print as an empty line.
    _default = "quoril could not complete the operation"

    def __str__(self):
        if not self.args:
            return self._default
        return super().__str__()


class UnpackException(QuorilError):
    """Base class of the errors raised while decoding."""

    _default = "the input could not be decoded"


class BufferFull(UnpackException):
    """The Unpacker's buffer would grow beyond ``max_buffer_size``."""

    _default = "Unpacker buffer full: the unread input would exceed max_buffer_size"


class OutOfData(UnpackException):
    """The input ended before a complete object was decoded."""

    _default = "No more data to unpack."


class FormatError(UnpackException, ValueError):
    """The input is not valid MessagePack (for example the never-used byte 0xc1)."""

    _default = "invalid MessagePack: the byte 0xc1, which the format never uses, where an item begins"


class StackError(UnpackException, ValueError):
    """The input nests containers deeper than the decoder allows."""

    _default = "the input nests arrays and maps more than 1024 levels deep"


class ExtraData(UnpackException, ValueError):
    """``unpackb`` decoded one object and found bytes after it.

    ``unpacked`` is the decoded object and ``extra`` the bytes that followed.
    """

    def __init__(self, unpacked, extra):
        super().__init__(unpacked, extra)
        self.unpacked = unpacked
        self.extra = extra

    def __str__(self):
        try:
            n = len(self.extra)
            found = f"{n} byte" if n == 1 else f"{n} bytes"
        except TypeError:
            found = "data"
        return (
            f"unpackb() decoded one object and found {found} after it; "
            "Unpacker reads a sequence of objects"
        )
