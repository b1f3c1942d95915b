"""Benchmark suite: quoril against its peers, interleaved, with repeats and spread.

    python bench/run.py --out bench/results-gil.json      (default build)
    python bench/run.py --out bench/results-ft.json       (free-threaded build)

Each row times one operation on one workload for every contender, taking the
contenders in turn within each repeat so that machine noise hits all alike.
"""

import argparse
import io
import json
import os
import statistics
import sys
import sysconfig
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import quoril  # noqa: E402
from contenders import peers, quoril_contenders  # noqa: E402
from workloads import PER_CALL, all_workloads, rpc_messages  # noqa: E402

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
PIECE = 64 * 1024


def calibrate(fn, target):
    loops = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        elapsed = time.perf_counter() - t0
        if elapsed >= target / 4 or loops >= 1 << 20:
            return max(1, int(loops * target / max(elapsed, 1e-9)))
        loops *= 4


def interleaved(fns, repeats, target):
    """name -> (median, min, max) seconds per call, the contenders alternating."""
    loops = {name: calibrate(fn, target) for name, fn in fns.items()}
    samples = {name: [] for name in fns}
    names = list(fns)
    for r in range(repeats):
        order = names[r % len(names):] + names[: r % len(names)]
        for name in order:
            fn, n = fns[name], loops[name]
            t0 = time.perf_counter()
            for _ in range(n):
                fn()
            samples[name].append((time.perf_counter() - t0) / n)
    return {name: (statistics.median(s), min(s), max(s)) for name, s in samples.items()}


def batch(fn, items):
    def run():
        for item in items:
            fn(item)
    return run


def feed_in_pieces(data):
    # The pieces exist before they are fed, as a socket's reads do: slicing
    # them in the timed loop would time the harness's copies, not the Unpacker.
    pieces = [data[i:i + PIECE] for i in range(0, len(data), PIECE)]

    def run():
        u = quoril.Unpacker(max_buffer_size=0)
        for piece in pieces:
            u.feed(piece)
            for _ in u:
                pass
    return run


def from_file(data):
    def run():
        for _ in quoril.Unpacker(io.BytesIO(data)):
            pass
    return run


def valid(contender, value, is_batch):
    items = value if is_batch else [value]
    try:
        return all(contender.unpack(contender.pack(v)) == v for v in items)
    except Exception:  # noqa: BLE001 - a contender that cannot handle the workload
        return False


def rows_for(name, value, is_batch, contenders, repeats, target):
    items = value if is_batch else [value]
    size = sum(len(quoril.packb(v)) for v in items)
    usable = [c for c in contenders if valid(c, value, is_batch)]
    rows = []
    pack_fns = {c.name: (batch(c.pack, items) if is_batch else (lambda c=c: c.pack(value)))
                for c in usable}
    rows.append(("pack", pack_fns))
    unpack_fns = {}
    for c in usable:
        if c.name == "quoril.Packer":
            continue
        packed = [c.pack(v) for v in items]
        unpack_fns[c.name] = (batch(c.unpack, packed) if is_batch
                              else (lambda c=c, b=packed[0]: c.unpack(b)))
    rows.append(("unpack", unpack_fns))
    stream = b"".join(quoril.packb(v) for v in items)
    # A stream of one small message would time only the Unpacker's creation; rpc_10k's
    # row is the stream of small messages.
    if is_batch or name not in PER_CALL:
        rows.append(("stream", {
            "quoril": (batch(quoril.unpackb, [quoril.packb(v) for v in items]) if is_batch
                       else (lambda b=stream: quoril.unpackb(b))),
            "Unpacker.feed": feed_in_pieces(stream),
            "Unpacker(file)": from_file(stream),
        }))
    out = []
    for op, fns in rows:
        timings = interleaved(fns, repeats, target)
        out.append({"workload": name, "operation": op, "bytes": size, "calls": len(items),
                    "per_call": name in PER_CALL, "timings": timings})
        print_row(out[-1])
    return out


def ratio_row(row):
    t = row["timings"]
    ours = {k: v[0] for k, v in t.items() if k.startswith("quoril") or k.startswith("Unpacker")}
    if row["operation"] == "stream":
        return {k: t["quoril"][0] / v for k, v in ours.items() if k != "quoril"}, "unpackb"
    msgpack_peers = [k for k in t if k in ("msgspec", "ormsgpack")]
    if row.get("per_call") and row["operation"] == "pack" and "msgspec" in t:
        # The per-call goal names msgspec's reused Encoder, not the fastest peer.
        msgpack_peers = ["msgspec"]
    reference = msgpack_peers or [k for k in t if k in ("pickle", "json", "orjson")]
    if not reference:
        return {}, None
    best = min(reference, key=lambda k: t[k][0])
    return {k: t[best][0] / v for k, v in ours.items()}, best


def packer_over_packb(row):
    """Time of a reused Packer.pack over packb's on a pack row (1.00 or less: no slower)."""
    t = row["timings"]
    if row["operation"] != "pack" or "quoril" not in t or "quoril.Packer" not in t:
        return None
    return t["quoril.Packer"][0] / t["quoril"][0]


def ns_per_call(row, name):
    return row["timings"][name][0] / row.get("calls", 1) * 1e9


def print_row(row):
    mb = row["bytes"] / 1e6
    ratios, ref = ratio_row(row)
    parts = []
    for k, (med, lo, hi) in sorted(row["timings"].items(), key=lambda kv: kv[1][0]):
        spread = (hi - lo) / med * 100 if med else 0
        speed = (f"{ns_per_call(row, k):7.0f} ns/call" if row.get("per_call")
                 else f"{mb / med:8.1f} MB/s")
        parts.append(f"{k} {speed} ±{spread:4.1f}%")
    rtxt = ", ".join(f"{k} x{r:.2f}" for k, r in ratios.items())
    own = packer_over_packb(row)
    print(f"{row['workload']:>13} {row['operation']:>7} | " + " | ".join(parts)
          + (f"  [vs {ref}: {rtxt}]" if ref else "")
          + (f"  [Packer.pack/packb time {own:.2f}]" if own is not None else ""), flush=True)


# Shared-object scaling: one object packed by every thread (a cached response, a config
# sent to every client). "records" is a list of rpc-like dicts packed in one call.
SHARED = ("twitter", "rpc_10k", "records")


def two_threads(work, target):
    """2 threads' throughput over 1's, timed from when all have their data ready.

    work(loops, barrier) prepares its data, waits on the barrier, and returns its
    (start, end) times.
    """
    loops = max(1, calibrate(lambda: work(1, threading.Barrier(1)), target))
    timings = {}
    for n in (1, 2):
        best = float("inf")
        for _ in range(5):
            spans, barrier = [], threading.Barrier(n)
            threads = [threading.Thread(target=lambda: spans.append(work(loops, barrier)))
                       for _ in range(n)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            best = min(best, max(e for _, e in spans) - min(s for s, _ in spans))
        timings[n] = best
    return 2 * timings[1] / timings[2]


def scaling(workloads, target, only=None):
    """Aggregate throughput of 2 threads over 1, for each pack and unpack row.

    "pack" and "unpack" give each thread its own copy of the data (the library's own
    scaling); "pack shared" has both threads pack the very same objects.
    """
    cases = dict(workloads)
    cases["records"] = ([rpc_messages(1000)], True)
    results = {}
    for name, (value, is_batch) in cases.items():
        if only and name not in only:
            continue
        shared = list(value) if is_batch else [value]
        packed = [quoril.packb(v) for v in shared]
        ops = ["pack", "unpack"] if name != "records" else []
        if name in SHARED:
            ops.insert(1, "pack shared")
        if name == "records":
            ops.insert(0, "pack")
        for op in ops:
            def work(loops, barrier, op=op):
                # A copy per thread unless sharing is the point: shared objects measure
                # reference-count and lock contention on the caller's data.
                items = shared if op == "pack shared" else [quoril.unpackb(b) for b in packed]
                packer = quoril.Packer()
                barrier.wait()
                start = time.perf_counter()
                if op == "unpack":
                    for _ in range(loops):
                        for b in packed:
                            quoril.unpackb(b)
                else:
                    for _ in range(loops):
                        for v in items:
                            packer.pack(v)
                return start, time.perf_counter()
            ratio = two_threads(work, target)
            results[f"{name}/{op}"] = ratio
            print(f"{'2 threads':>13} {name + ' ' + op:>19} | {ratio:.2f}x the throughput of 1",
                  flush=True)
    return results


def linearity(workloads, target):
    """Time of 1, 10 and 100 copies of a document relative to 1 copy (per copy)."""
    doc = workloads["twitter"][0]
    out = {}
    for op in ("pack", "unpack", "feed"):
        per_copy = {}
        for copies in (1, 10, 100):
            value = [doc] * copies
            data = quoril.packb(value)
            if op == "pack":
                fn = lambda v=value: quoril.packb(v)  # noqa: E731
            elif op == "unpack":
                fn = lambda d=data: quoril.unpackb(d)  # noqa: E731
            else:
                fn = feed_in_pieces(data)
            med = interleaved({"x": fn}, 3, target)["x"][0]
            per_copy[copies] = med / copies
        out[op] = {str(k): v / per_copy[1] for k, v in per_copy.items()}
        print(f"{'linearity':>13} {op:>7} | per-copy time at 10x {out[op]['10']:.2f}, "
              f"100x {out[op]['100']:.2f} (1.00 is linear)", flush=True)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--target", type=float, default=0.05, help="seconds per sample")
    ap.add_argument("--only", nargs="*",
                    help="workload names to run (\"records\": the shared-object scaling case)")
    args = ap.parse_args()
    build = "free-threaded" if FREE_THREADED else "default"
    print(f"== {sys.version.split()[0]} {build} build", flush=True)
    workloads = all_workloads()
    contenders = quoril_contenders() + peers()
    rows = []
    for name, (value, is_batch) in workloads.items():
        if args.only and name not in args.only:
            continue
        rows.extend(rows_for(name, value, is_batch, contenders, args.repeats, args.target))
    result = {"python": sys.version, "build": build, "rows": rows}
    if FREE_THREADED:
        result["scaling"] = scaling(workloads, args.target, args.only)
    if not args.only:
        result["linearity"] = linearity(workloads, args.target)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
