"""The typing checks, run by `make typing` with each venv's python from the repository root:

- mypy --strict passes on usage.py, which then runs, so the types describe what really happens;
- mypy --strict on errors.py reports exactly the error code marked on each line, and no other;
- stubtest finds the stubs consistent with the built module.
"""

import re
import subprocess
import sys
import sysconfig
from pathlib import Path

from mypy import api

HERE = Path(__file__).resolve().parent
CACHE = HERE.parents[1] / "build" / f"mypy-cache-{sysconfig.get_config_var('SOABI')}"
MYPY = ["--strict", "--show-error-codes", "--no-error-summary", "--cache-dir", str(CACHE)]


def mypy(path):
    out, err, status = api.run([*MYPY, str(path)])
    return out + err, status


def main():
    failures = []
    out, status = mypy(HERE / "usage.py")
    if status != 0:
        failures.append(f"mypy --strict on usage.py:\n{out}")
    run = subprocess.run([sys.executable, "-P", str(HERE / "usage.py")], capture_output=True, text=True)
    if run.returncode != 0:
        failures.append(f"usage.py failed when run:\n{run.stderr}")

    source = (HERE / "errors.py").read_text().splitlines()
    expected = {(n, m.group(1)) for n, line in enumerate(source, 1)
                if (m := re.search(r"# E: ([\w-]+)$", line))}
    out, _ = mypy(HERE / "errors.py")
    found = {(int(m.group(1)), m.group(2))
             for m in re.finditer(r"errors\.py:(\d+): error: .*\[([\w-]+)\]$", out, re.M)}
    if found != expected:
        failures.append(
            f"errors.py: expected but not reported {sorted(expected - found)}, "
            f"reported but not expected {sorted(found - expected)}:\n{out}")

    stubtest = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quoril",
         "--allowlist", str(HERE / "stubtest-allowlist.txt")],
        capture_output=True, text=True)
    if stubtest.returncode != 0:
        failures.append(f"stubtest:\n{stubtest.stdout}{stubtest.stderr}")

    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "default"
    if failures:
        print(f"typing checks failed on the {build} build:\n" + "\n".join(failures))
        return 1
    print(f"typing checks passed on the {build} build: usage.py, {len(expected)} refused misuses, stubtest")
    return 0


if __name__ == "__main__":
    sys.exit(main())
