"""`quoril stats` over a generated 200 MiB stream: throughput and peak memory.

    python -P bench/cli_stats.py [--mib 200] [--file]

The stream (records like an RPC log: ints, strings, floats, bytes, nested maps and arrays) is
written into the command's standard input through a pipe, or with --file into a temporary file,
so nothing near its size is held anywhere. The command runs in a child process; its peak
resident memory comes from the kernel's accounting for that child. It must stay a small,
fixed amount above that of the same command on a tiny input, whatever the stream's size:
the script exits 1 otherwise.
"""

import argparse
import json
import os
import subprocess
import sys
import sysconfig
import tempfile
import time

import quoril

BOUND_MIB = 32


def batch():
    records = [
        {"id": i, "method": "get_user", "params": {"user": f"user-{i}", "fields": ["name", "tags"]},
         "score": i / 7, "ok": i % 3 != 0, "blob": bytes(range(i % 64)),
         "trace": [i, [i * 2, {"span": None, "at": quoril.Timestamp(1700000000 + i, i)}]]}
        for i in range(1000)
    ]
    return b"".join(quoril.packb(r) for r in records)


def run_stats(chunk, repeats, use_file):
    command = [sys.executable, "-P", "-m", "quoril", "stats", "--json"]
    started = time.perf_counter()
    if use_file:
        with tempfile.NamedTemporaryFile(suffix=".mp") as f:
            for _ in range(repeats):
                f.write(chunk)
            f.flush()
            started = time.perf_counter()
            child = subprocess.Popen(command + [f.name], stdout=subprocess.PIPE)
            out = child.stdout.read()
            _, status, usage = os.wait4(child.pid, 0)
    else:
        child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        for _ in range(repeats):
            child.stdin.write(chunk)
        child.stdin.close()
        out = child.stdout.read()
        _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"quoril stats failed with status {child.returncode}")
    return json.loads(out), usage.ru_maxrss / 1024, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=200, help="size of the stream (default 200)")
    parser.add_argument("--file", action="store_true", help="through a file, not a pipe")
    args = parser.parse_args()
    chunk = batch()
    repeats = args.mib * 2**20 // len(chunk) + 1
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "default"
    _, base_mib, _ = run_stats(chunk, 1, args.file)
    report, peak_mib, elapsed = run_stats(chunk, repeats, args.file)
    size = report["bytes"]
    assert size == repeats * len(chunk) and report["objects"] == repeats * 1000
    print(f"quoril stats, {build} build, {'file' if args.file else 'pipe'}: "
          f"{size / 2**20:.0f} MiB, {report['objects']} objects in {elapsed:.1f} s "
          f"({size / 2**20 / elapsed:.1f} MiB/s); peak memory {peak_mib:.0f} MiB "
          f"({base_mib:.0f} MiB on one batch of {len(chunk) / 1024:.0f} KiB)")
    if peak_mib - base_mib > BOUND_MIB:
        sys.exit(f"memory grew with the input: {peak_mib - base_mib:.0f} MiB over the base, "
                 f"more than {BOUND_MIB} MiB")


if __name__ == "__main__":
    main()
