#!/usr/bin/env bash
# Reference and memory-block leak runs on a debug free-threaded interpreter, plus
# allocation-failure injection (_testcapi.set_nomemory) over representative calls.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
tools/bootstrap.sh --debug
cache=${QUORIL_CACHE:-$HOME/.cache/quoril}
py=$(ls "$cache"/cpython-*t-debug/bin/python3.13td | sort -V | tail -n1)
export PYTHONWARNINGS=ignore::ResourceWarning
venv=.venv-debug
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q -r requirements/test-ft.txt
"$venv/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
  -Cbuild-dir=build/debug -Ccmake.build-type=Debug -Ccmake.define.QUORIL_WERROR=ON .
# Generated (Hypothesis) tests re-run their whole search per loop; the same
# operations are covered by the table tests, which the loop runs in full.
PYTHONWARNINGS=default PYTHONPATH=tools "$venv/bin/python" -P -m pytest -q -p refleak_plugin -p no:cacheprovider \
  --ignore=tests/test_properties.py --ignore=tests/test_interop.py "$@"
"$venv/bin/python" -P tools/nomemory.py
