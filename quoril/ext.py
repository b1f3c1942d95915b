"""Extension values: :class:`ExtType` and the :class:`Timestamp` extension (type -1)."""

import datetime as _datetime
from collections import namedtuple as _namedtuple

__all__ = ["ExtType", "Timestamp"]

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1
_UTC = _datetime.timezone.utc
_EPOCH = _datetime.datetime(1970, 1, 1, tzinfo=_UTC)


class ExtType(_namedtuple("ExtType", "code data")):
    """A MessagePack extension value: an integer type ``code`` and its ``data`` bytes."""

    __slots__ = ()

    def __new__(cls, code, data):
        if not isinstance(code, int) or isinstance(code, bool):
            raise TypeError(f"ExtType code must be an int, not {type(code).__name__}")
        if not isinstance(data, bytes):
            raise TypeError(f"ExtType data must be bytes, not {type(data).__name__}")
        if not -128 <= code <= 127:
            raise ValueError(f"ExtType code must be from -128 to 127, got {code}")
        return super().__new__(cls, code, data)


class Timestamp:
    """The MessagePack Timestamp extension: seconds since the epoch plus nanoseconds.

    Immutable and validated: ``seconds`` is a signed 64-bit int and
    ``nanoseconds`` an int in 0..999999999.
    """

    __slots__ = ("seconds", "nanoseconds")

    def __init__(self, seconds, nanoseconds=0):
        if not isinstance(seconds, int) or isinstance(seconds, bool):
            raise TypeError(f"Timestamp seconds must be an int, not {type(seconds).__name__}")
        if not isinstance(nanoseconds, int) or isinstance(nanoseconds, bool):
            raise TypeError(f"Timestamp nanoseconds must be an int, not {type(nanoseconds).__name__}")
        if not 0 <= nanoseconds <= 999_999_999:
            raise ValueError(
                "nanoseconds must be a non-negative integer not greater than 999999999."
            )
        if not _INT64_MIN <= seconds <= _INT64_MAX:
            raise ValueError(f"Timestamp seconds must fit in a signed 64-bit integer, got {seconds}")
        object.__setattr__(self, "seconds", int(seconds))
        object.__setattr__(self, "nanoseconds", int(nanoseconds))

    def __setattr__(self, name, value):
        raise AttributeError(f"Timestamp is immutable: cannot set {name!r}")

    def __delattr__(self, name):
        raise AttributeError(f"Timestamp is immutable: cannot delete {name!r}")

    def __reduce__(self):
        return (type(self), (self.seconds, self.nanoseconds))

    def __repr__(self):
        return f"Timestamp(seconds={self.seconds}, nanoseconds={self.nanoseconds})"

    def _key(self):
        return (self.seconds, self.nanoseconds)

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._key() == other._key()

    def __lt__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._key() < other._key()

    def __le__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._key() <= other._key()

    def __gt__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._key() > other._key()

    def __ge__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._key() >= other._key()

    def __hash__(self):
        return hash(self._key())

    @staticmethod
    def from_bytes(b):
        """Decode the payload of a Timestamp extension (4, 8 or 12 bytes)."""
        if len(b) == 4:
            return Timestamp(int.from_bytes(b, "big"), 0)
        if len(b) == 8:
            word = int.from_bytes(b, "big")
            return Timestamp(word & 0x3_FFFF_FFFF, word >> 34)
        if len(b) == 12:
            return Timestamp(int.from_bytes(b[4:], "big", signed=True), int.from_bytes(b[:4], "big"))
        raise ValueError(f"Timestamp.from_bytes needs 4, 8 or 12 bytes, got {len(b)}")

    def to_bytes(self):
        """The payload of the Timestamp extension in its smallest layout."""
        if self.seconds >> 34 == 0:
            word = self.nanoseconds << 34 | self.seconds
            if word >> 32 == 0:
                return word.to_bytes(4, "big")
            return word.to_bytes(8, "big")
        return self.nanoseconds.to_bytes(4, "big") + self.seconds.to_bytes(8, "big", signed=True)

    @staticmethod
    def from_unix(unix_sec):
        """A Timestamp from seconds since the epoch as a float (or int)."""
        seconds = int(unix_sec // 1)
        nanoseconds = int((unix_sec % 1) * 10**9)
        return Timestamp(seconds, min(nanoseconds, 999_999_999))

    def to_unix(self):
        """Seconds since the epoch as a float (nanoseconds may be rounded)."""
        return self.seconds + self.nanoseconds / 1e9

    @staticmethod
    def from_unix_nano(unix_ns):
        """A Timestamp from nanoseconds since the epoch."""
        return Timestamp(*divmod(int(unix_ns), 10**9))

    def to_unix_nano(self):
        """Nanoseconds since the epoch as an int."""
        return self.seconds * 10**9 + self.nanoseconds

    def to_datetime(self):
        """An aware UTC datetime (microsecond precision: nanoseconds are truncated)."""
        return _EPOCH + _datetime.timedelta(seconds=self.seconds, microseconds=self.nanoseconds // 1000)

    @staticmethod
    def from_datetime(dt):
        """A Timestamp for an aware datetime (naive ones are refused)."""
        if dt.tzinfo is None or dt.utcoffset() is None:
            raise ValueError("Timestamp.from_datetime needs a timezone-aware datetime, got a naive one")
        delta = dt - _EPOCH
        return Timestamp(delta.days * 86400 + delta.seconds, delta.microseconds * 1000)
