from collections.abc import Buffer, Callable
from typing import Any, Final, Protocol, type_check_only

from ._cquoril import Packer as Packer
from ._cquoril import Unpacker as Unpacker
from ._cquoril import _packb
from ._cquoril import _Default, _ErrorHandler, _ExtHook, _ListHook, _ObjectHook, _PairsHook
from ._cquoril import _TimestampMode
from ._cquoril import unpackb as unpackb
from .exceptions import BufferFull as BufferFull
from .exceptions import ExtraData as ExtraData
from .exceptions import FormatError as FormatError
from .exceptions import OutOfData as OutOfData
from .exceptions import QuorilError as QuorilError
from .exceptions import StackError as StackError
from .exceptions import UnpackException as UnpackException
from .ext import ExtType as ExtType
from .ext import Timestamp as Timestamp

__version__: Final[str]
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

@type_check_only
class _Writable(Protocol):
    def write(self, data: bytes, /) -> object: ...

@type_check_only
class _ReadableAll(Protocol):
    def read(self) -> bytes: ...

packb = _packb

def pack(
    o: object,
    stream: _Writable,
    *,
    default: _Default = None,
    use_single_float: bool = False,
    use_bin_type: bool = True,
    strict_types: bool = False,
    datetime: bool = False,
    unicode_errors: _ErrorHandler = None,
    buf_size: int = 262144,
) -> None: ...
def unpack(
    stream: _ReadableAll,
    *,
    object_hook: _ObjectHook = None,
    list_hook: _ListHook = None,
    use_list: bool = True,
    raw: bool = False,
    timestamp: _TimestampMode = 0,
    strict_map_key: bool = True,
    unicode_errors: _ErrorHandler = None,
    object_pairs_hook: _PairsHook = None,
    ext_hook: _ExtHook = ...,
    max_str_len: int = -1,
    max_bin_len: int = -1,
    max_array_len: int = -1,
    max_map_len: int = -1,
    max_ext_len: int = -1,
) -> Any: ...

dumps = _packb
loads = unpackb
