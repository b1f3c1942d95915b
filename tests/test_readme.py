"""The README's Python examples run as they stand, in order, in an empty directory."""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
NEEDS_NUMPY = "import numpy"

# Each block keeps its README line numbers, so a failure points at the README itself.
RUNNER = """
import sys
namespace = {"__name__": "__main__"}
for start, code in eval(sys.argv[2]):
    exec(compile("\\n" * start + code, sys.argv[1], "exec"), namespace)
"""


def python_blocks():
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start(1)), m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```$", text, re.M | re.S)]


def run_blocks(blocks, cwd):
    return subprocess.run(
        [sys.executable, "-P", "-c", RUNNER, str(README), repr(blocks)],
        cwd=cwd, capture_output=True, text=True, timeout=120)


def test_readme_examples_run_in_order(tmp_path):
    blocks = [b for b in python_blocks() if NEEDS_NUMPY not in b[1]]
    assert len(blocks) >= 6
    proc = run_blocks(blocks, tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-3:] == [
        "{'n': 0, 'square': 0}", "{'n': 1, 'square': 1}", "{'n': 2, 'square': 4}"]


@pytest.mark.skipif(importlib.util.find_spec("numpy") is None,
                    reason="numpy is installed in .venv-gil only")
def test_readme_numpy_recipe(tmp_path):
    blocks = [b for b in python_blocks() if NEEDS_NUMPY in b[1]]
    assert len(blocks) == 1
    proc = run_blocks(blocks, tmp_path)
    assert proc.returncode == 0, proc.stderr
