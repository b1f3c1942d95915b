"""Merges the benchmark results, draws the ratio chart and updates the README table.

    .venv-gil/bin/python bench/report.py bench/results-gil.json bench/results-ft.json [instr.json]
        [--extra bench/results-3.14.json ...]

Each --extra result (another interpreter version) adds a table and a chart panel.
"""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import ns_per_call, packer_over_packb, ratio_row  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BEGIN, END = "<!-- bench:begin -->", "<!-- bench:end -->"


def load(path):
    with open(path) as f:
        return json.load(f)


def table(result):
    lines = [f"**{result['build']} build** ({result['python'].split()[0]}): time of the best "
             f"peer over ours (higher is better; 1.00 is a tie)", "",
             "| workload | operation | quoril MB/s | ns/call | ratio | against |",
             "|---|---|---|---|---|---|"]
    for row in result["rows"]:
        ratios, ref = ratio_row(row)
        for name, r in ratios.items():
            med = row["timings"][name][0]
            ns = f"{ns_per_call(row, name):.0f}" if row.get("per_call") else ""
            lines.append(f"| {row['workload']} | {row['operation']} ({name}) | "
                         f"{row['bytes'] / 1e6 / med:.0f} | {ns} | {r:.2f} | {ref} |")
    lines += own_ratios(result)
    if "scaling" in result:
        lines += scaling_table(result["scaling"])
    return "\n".join(lines)


def own_ratios(result):
    """Streaming over unpackb and Packer.pack over packb, one line per workload."""
    lines = ["", "| workload | feed / unpackb | file / unpackb | Packer.pack / packb time |",
             "|---|---|---|---|"]
    by_workload = {}
    for row in result["rows"]:
        cells = by_workload.setdefault(row["workload"], ["", "", ""])
        if row["operation"] == "stream":
            ratios, _ = ratio_row(row)
            cells[0] = f"{ratios.get('Unpacker.feed', 0):.2f}"
            cells[1] = f"{ratios.get('Unpacker(file)', 0):.2f}"
        own = packer_over_packb(row)
        if own is not None:
            cells[2] = f"{own:.2f}"
    lines += [f"| {w} | " + " | ".join(c) + " |" for w, c in by_workload.items()]
    lines += ["", "Stream ratios are unpackb's time over the Unpacker's (goal: 0.9 or more); "
              "Packer.pack / packb is the reused Packer's time over packb's (goal on binary: "
              "1.00 or less)."]
    return lines


def scaling_table(scaling):
    """2 threads over 1: a copy of the data per thread, and one object both threads pack."""
    cells = {}
    for key, v in scaling.items():
        workload, op = key.split("/", 1)
        cells.setdefault(workload, {})[op] = f"{v:.2f}"
    lines = ["", "| workload | 2 threads over 1: pack | pack, one shared object | unpack |",
             "|---|---|---|---|"]
    lines += [f"| {w} | {c.get('pack', '')} | {c.get('pack shared', '')} | {c.get('unpack', '')} |"
              for w, c in cells.items()]
    return lines


def ours(row):
    return [k for k in row["timings"] if k.startswith("quoril") or k.startswith("Unpacker")]


def builds_table(default, free):
    """Free-threaded time over the default build's for every row both runs have."""
    rows = {(r["workload"], r["operation"]): r for r in default["rows"]}
    lines = [f"**free-threaded over default**: time on {free['python'].split()[0]} "
             f"free-threaded over {default['python'].split()[0]} default (lower is better; "
             f"goals: small per call 1.2 or less, pack of documents and arrays 1.3 or less)", "",
             "| workload | operation | default | free-threaded | ft / default |",
             "|---|---|---|---|---|"]
    for row in free["rows"]:
        base = rows.get((row["workload"], row["operation"]))
        if base is None:
            continue
        for name in ours(row):
            # A stream row's "quoril" is unpackb again, already in the unpack row.
            if name not in base["timings"] or (row["operation"] == "stream" and name == "quoril"):
                continue
            ft, gil = row["timings"][name][0], base["timings"][name][0]
            if row.get("per_call"):
                fmt = lambda r: f"{ns_per_call(r, name):.0f} ns/call"  # noqa: E731
            else:
                fmt = lambda r: f"{r['bytes'] / 1e6 / r['timings'][name][0]:.0f} MB/s"  # noqa: E731
            lines.append(f"| {row['workload']} | {row['operation']} ({name}) | {fmt(base)} | "
                         f"{fmt(row)} | {ft / gil:.2f} |")
    return "\n".join(lines)


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(results), 1, figsize=(11, 4.2 * len(results)), squeeze=False)
    for ax, result in zip(axes[:, 0], results):
        labels, values = [], []
        for row in result["rows"]:
            ratios, ref = ratio_row(row)
            for name, r in ratios.items():
                labels.append(f"{row['workload']} {row['operation']}\n{name} vs {ref}")
                values.append(r)
        colors = ["#2a7" if v >= 1 else "#c44" for v in values]
        ax.bar(range(len(values)), values, color=colors)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xticks(range(len(values)))
        ax.set_xticklabels(labels, rotation=90, fontsize=6)
        ax.set_ylabel("peer time / quoril time")
        ax.set_title(f"quoril on the {result['build']} build ({result['python'].split()[0]})")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def instr(v):
    # Documents in millions; the small message per call in plain counts.
    return f"{v / 1e6:.1f} M" if v >= 100_000 else f"{v:,}"


def main():
    args, extras = sys.argv[1:], []
    while "--extra" in args:
        i = args.index("--extra")
        extras.append(args[i + 1])
        del args[i:i + 2]
    results = [load(p) for p in args[:2] if os.path.exists(p)]
    merged = {r["build"]: r for r in results}
    if len(args) > 2 and os.path.exists(args[2]):
        merged["instructions"] = load(args[2])
    others = [load(p) for p in extras if os.path.exists(p)]
    for result in others:
        merged[f"{result['build']} {result['python'].split()[0]}"] = result
    with open(os.path.join(HERE, "results.json"), "w") as f:
        json.dump(merged, f, indent=1)
    chart(results + others, os.path.join(HERE, "ratios.png"))
    text = "\n\n".join(table(r) for r in results)
    if "default" in merged and "free-threaded" in merged:
        text += "\n\n" + builds_table(merged["default"], merged["free-threaded"])
    if "instructions" in merged:
        text += ("\n\n| document/op | quoril instructions | msgspec instructions |\n|---|---|---|\n"
                 + "\n".join(f"| {k} | {instr(v['quoril'])} | {instr(v.get('msgspec', 0))} |"
                              for k, v in merged["instructions"].items()))
    # After the instruction counts, which are those of the first table's build.
    text += "".join("\n\n" + table(r) for r in others)
    readme = os.path.join(ROOT, "README.md")
    with open(readme) as f:
        content = f.read()
    block = f"{BEGIN}\n![ratios](bench/ratios.png)\n\n{text}\n{END}"
    if BEGIN in content:
        content = content[: content.index(BEGIN)] + block + content[content.index(END) + len(END):]
    else:
        content += "\n## Benchmarks\n\n`make bench` runs the suite (a few minutes) and refreshes this section.\n\n" + block + "\n"
    with open(readme, "w") as f:
        f.write(content)
    print(text)


if __name__ == "__main__":
    main()
