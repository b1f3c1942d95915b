"""Benchmark workloads: the JSON documents in bench/data and seeded generated data."""

import json
import pathlib
import random

DATA_DIR = pathlib.Path(__file__).resolve().parent / "data"
NAMES = ("canada", "citm_catalog", "twitter")


def documents():
    # A missing document is an error here, not a workload quietly left out.
    return {name: json.loads((DATA_DIR / f"{name}.json").read_text(encoding="utf-8")) for name in NAMES}


def rpc_messages(count=10_000, seed=1):
    rng = random.Random(seed)
    methods = ["get", "put", "list", "delete", "watch"]
    return [
        {
            "id": i,
            "method": rng.choice(methods),
            "params": {"key": f"user:{rng.randrange(10**6)}", "limit": rng.randrange(100)},
            "score": rng.random(),
            "ok": rng.random() < 0.5,
            "error": None,
        }
        for i in range(count)
    ]


def binary_records(seed=2):
    rng = random.Random(seed)
    sizes = [1024 * 2**k for k in range(11)]  # 1 KiB .. 1 MiB
    return [{"name": f"blob{i}", "size": n, "data": rng.randbytes(n)} for i, n in enumerate(sizes)]


def int_array(n=200_000, seed=3):
    rng = random.Random(seed)
    return [rng.randrange(-(2**40), 2**40) for _ in range(n)]


def float_array(n=200_000, seed=4):
    rng = random.Random(seed)
    return [rng.uniform(-1e6, 1e6) for _ in range(n)]


def small_message():
    # One RPC request, the shape most MessagePack traffic has; timed one call each.
    return {"m": "get", "id": 5, "ok": True, "t": 1.25, "k": None}


# Workloads whose fixed cost per call is the figure that matters: run.py prints ns per call.
PER_CALL = ("small", "rpc_10k")


def all_workloads():
    """name -> (value, is_batch); a batch is packed and unpacked one call per message."""
    out = {"small": (small_message(), False)}
    out.update({name: (doc, False) for name, doc in documents().items()})
    out["rpc_10k"] = (rpc_messages(), True)
    out["binary"] = (binary_records(), False)
    out["int_array"] = (int_array(), False)
    out["float_array"] = (float_array(), False)
    return out
