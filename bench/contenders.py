"""The serializers compared, each as pack/unpack callables over one value."""

import json
import pickle

import quoril


class Contender:
    def __init__(self, name, pack, unpack, msgpack_peer=False, handles_bytes=True):
        self.name = name
        self.pack = pack
        self.unpack = unpack
        self.msgpack_peer = msgpack_peer
        self.handles_bytes = handles_bytes


def quoril_contenders():
    packer = quoril.Packer()
    return [
        Contender("quoril", quoril.packb, quoril.unpackb),
        Contender("quoril.Packer", packer.pack, quoril.unpackb),
    ]


def peers():
    found = []
    try:
        import msgspec

        enc, dec = msgspec.msgpack.Encoder(), msgspec.msgpack.Decoder()
        found.append(Contender("msgspec", enc.encode, dec.decode, msgpack_peer=True))
    except ImportError:
        pass
    try:
        import ormsgpack

        found.append(Contender("ormsgpack", ormsgpack.packb, ormsgpack.unpackb, msgpack_peer=True))
    except ImportError:
        pass
    found.append(Contender("pickle", lambda o: pickle.dumps(o, protocol=5), pickle.loads))
    try:
        import orjson

        found.append(Contender("orjson", orjson.dumps, orjson.loads, handles_bytes=False))
    except ImportError:
        pass
    found.append(Contender("json", lambda o: json.dumps(o).encode(), json.loads,
                           handles_bytes=False))
    return found
