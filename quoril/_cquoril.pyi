# Types of the native core; quoril/__init__.pyi re-exports the public names.
import datetime as datetime
from collections.abc import Buffer, Callable, Collection
from typing import (Any, Generic, Literal, NoReturn, Protocol, Self, TypeAlias, TypeVar, overload,
                    type_check_only)

from typing_extensions import disjoint_base

from .exceptions import BufferFull as BufferFull
from .exceptions import ExtraData as ExtraData
from .exceptions import FormatError as FormatError
from .exceptions import OutOfData as OutOfData
from .exceptions import StackError as StackError
from .ext import ExtType

@type_check_only
class _Readable(Protocol):
    def read(self, n: int, /) -> bytes: ...

_ErrorHandler: TypeAlias = str | bytes | bytearray | None
_Default: TypeAlias = Callable[[Any], object] | None
_ObjectHook: TypeAlias = Callable[[dict[Any, Any]], object] | None
_PairsHook: TypeAlias = Callable[[list[tuple[Any, Any]]], object] | None
_ListHook: TypeAlias = Callable[[list[Any]], object] | Callable[[tuple[Any, ...]], object] | None
_ExtHook: TypeAlias = Callable[[int, bytes], object]
# 0 Timestamp, 1 float seconds, 2 int nanoseconds, 3 aware datetime (UTC).
_TimestampMode: TypeAlias = Literal[0, 1, 2, 3]

__test__: dict[str, Any]

# What the writing methods return: bytes with autoreset (the default), None without.
_Out = TypeVar("_Out", bound=bytes | None, default=bytes | None)

@disjoint_base
class Packer(Generic[_Out]):
    @overload
    def __init__(
        self: Packer[bytes],
        *,
        default: _Default = None,
        use_single_float: bool = False,
        autoreset: Literal[True] = True,
        use_bin_type: bool = True,
        strict_types: bool = False,
        datetime: bool = False,
        unicode_errors: _ErrorHandler = None,
        buf_size: int = 262144,
    ) -> None: ...
    @overload
    def __init__(
        self: Packer[None],
        *,
        default: _Default = None,
        use_single_float: bool = False,
        autoreset: Literal[False],
        use_bin_type: bool = True,
        strict_types: bool = False,
        datetime: bool = False,
        unicode_errors: _ErrorHandler = None,
        buf_size: int = 262144,
    ) -> None: ...
    @overload
    def __init__(
        self: Packer[bytes | None],
        *,
        default: _Default = None,
        use_single_float: bool = False,
        autoreset: bool,
        use_bin_type: bool = True,
        strict_types: bool = False,
        datetime: bool = False,
        unicode_errors: _ErrorHandler = None,
        buf_size: int = 262144,
    ) -> None: ...
    def pack(self, obj: object) -> _Out: ...
    def pack_ext_type(self, typecode: int, data: bytes | bytearray | str) -> _Out: ...
    def pack_array_header(self, size: int) -> _Out: ...
    def pack_map_header(self, size: int) -> _Out: ...
    def pack_map_pairs(self, pairs: Collection[tuple[object, object]]) -> _Out: ...
    def reset(self) -> None: ...
    def bytes(self) -> bytes: ...
    def getbuffer(self) -> memoryview: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...

@disjoint_base
class Unpacker:
    def __init__(
        self,
        file_like: _Readable | None = None,
        *,
        read_size: int = 0,
        use_list: bool = True,
        raw: bool = False,
        timestamp: _TimestampMode = 0,
        strict_map_key: bool = True,
        object_hook: _ObjectHook = None,
        object_pairs_hook: _PairsHook = None,
        list_hook: _ListHook = None,
        unicode_errors: _ErrorHandler = None,
        max_buffer_size: int = 104857600,
        ext_hook: _ExtHook = ExtType,
        max_str_len: int = -1,
        max_bin_len: int = -1,
        max_array_len: int = -1,
        max_map_len: int = -1,
        max_ext_len: int = -1,
    ) -> None: ...
    def feed(self, next_bytes: Buffer) -> None: ...
    def unpack(self) -> Any: ...
    def skip(self) -> None: ...
    def read_array_header(self) -> int: ...
    def read_map_header(self) -> int: ...
    def read_bytes(self, nbytes: int) -> bytes: ...
    def tell(self) -> int: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> Any: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...

def unpackb(
    packed: Buffer,
    *,
    object_hook: _ObjectHook = None,
    list_hook: _ListHook = None,
    use_list: bool = True,
    raw: bool = False,
    timestamp: _TimestampMode = 0,
    strict_map_key: bool = True,
    unicode_errors: _ErrorHandler = None,
    object_pairs_hook: _PairsHook = None,
    ext_hook: _ExtHook = ExtType,
    max_str_len: int = -1,
    max_bin_len: int = -1,
    max_array_len: int = -1,
    max_map_len: int = -1,
    max_ext_len: int = -1,
) -> Any: ...
def default_read_extended_type(typecode: int, data: bytes) -> NoReturn: ...
def _packb(
    obj: object,
    /,
    *,
    default: _Default = None,
    use_single_float: bool = False,
    use_bin_type: bool = True,
    strict_types: bool = False,
    datetime: bool = False,
    unicode_errors: _ErrorHandler = None,
    buf_size: int = 262144,
) -> bytes: ...
