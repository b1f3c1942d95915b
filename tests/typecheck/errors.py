"""Misuses the type checker must refuse: each marked line must give exactly that error code."""

import quoril
from quoril import ExtType, Packer, Timestamp, Unpacker

quoril.packb(1, use_bin_typ=True)  # E: call-arg
quoril.unpackb("text")  # E: arg-type
quoril.unpackb(b"\x01", strict_map_keys=False)  # E: call-arg
quoril.unpackb(b"\x01", timestamp=4)  # E: arg-type
quoril.unpackb(b"\x01", object_hook=1)  # E: arg-type
Unpacker().feed("text")  # E: arg-type
Unpacker(None, 4096)  # E: misc
Unpacker(use_lists=False)  # E: call-arg
Unpacker(b"not a file")  # E: arg-type
Packer(1024)  # E: call-overload
Packer(use_bin_types=True)  # E: call-overload
Packer(autoreset=False).pack(1).hex()  # E: attr-defined
Packer().pack_ext_type("1", b"")  # E: arg-type
ExtType("1", b"")  # E: arg-type
ExtType(1, "text")  # E: arg-type
Timestamp(1).seconds = 2  # E: misc
quoril.pack(1, "path")  # E: arg-type
