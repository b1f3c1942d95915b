"""Instruction counts (valgrind's callgrind) for pack and unpack of each document
and of the small message.

Counts repeat exactly on a noisy machine. Each figure is the difference between
a run doing the operation 3n times and a run doing it n times, over 2n, so that
start-up and loading cancel out; n is 1 for a document and 1000 for the small
message (over fewer calls the allocator's warm-up shows in the figure).
"""

import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import sys, json
sys.path.insert(0, {here!r})
from workloads import documents, small_message
name, lib, op, times = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
doc = small_message() if name == "small" else documents()[name]
if lib == "quoril":
    import quoril
    pack, unpack = quoril.packb, quoril.unpackb
else:
    import msgspec
    pack, unpack = msgspec.msgpack.Encoder().encode, msgspec.msgpack.Decoder().decode
data = pack(doc)
fn = (lambda: pack(doc)) if op == "pack" else (lambda: unpack(data))
fn()
for _ in range(times):
    fn()
"""


def count(script, args):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             sys.executable, "-P", script, *args],
            check=True, capture_output=True,
        )
        with open(out) as f:
            for line in f:
                m = re.match(r"(?:summary|totals):\s+(\d+)", line)
                if m:
                    return int(m.group(1))
    raise RuntimeError("no total in callgrind output")


def instructions(v):
    return f"{v / 1e6:8.2f} M instructions" if v >= 100_000 else f"{v:8d} instructions"


def main():
    libs = ["quoril"]
    try:
        import msgspec  # noqa: F401

        libs.append("msgspec")
    except ImportError:
        pass
    results = {}
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write(CHILD.format(here=HERE))
        script = f.name
    try:
        for name in ("small", "twitter", "citm_catalog", "canada"):
            n = 1000 if name == "small" else 1
            for op in ("pack", "unpack"):
                row = {}
                for lib in libs:
                    once = count(script, [name, lib, op, str(n)])
                    thrice = count(script, [name, lib, op, str(3 * n)])
                    row[lib] = (thrice - once) // (2 * n)
                results[f"{name}/{op}"] = row
                ratio = (f"  msgspec/quoril {row['msgspec'] / row['quoril']:.2f}"
                         if "msgspec" in row else "")
                print(f"{name:>13} {op:>7} | " + " | ".join(
                    f"{k} {instructions(v)}" for k, v in row.items()) + ratio,
                    flush=True)
    finally:
        os.unlink(script)
    if len(sys.argv) > 1:
        with open(sys.argv[1], "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
