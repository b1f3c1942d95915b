#!/usr/bin/env bash
# ThreadSanitizer: a free-threaded CPython built --with-thread-sanitizer (clang), the
# extension built with -fsanitize=thread, run under CPython's own
# suppressions file, on the tests marked tsan. Any report fails the run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
tools/bootstrap.sh --tsan
cache=${QUORIL_CACHE:-$HOME/.cache/quoril}
prefix=$(ls -d "$cache"/cpython-*t-tsan | sort -V | tail -n1)
py=$prefix/bin/python3.13t
suppressions=$prefix.src/Tools/tsan/suppressions_free_threading.txt
export PYTHONWARNINGS=ignore::ResourceWarning
venv=.venv-tsan
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q -r requirements/test-ft.txt
CC=clang CXX=clang++ "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
  --force-reinstall -Cbuild-dir=build/tsan -Ccmake.build-type=Debug -Cinstall.strip=false \
  -Ccmake.define.QUORIL_SANITIZE=thread .
export TSAN_OPTIONS="suppressions=$suppressions halt_on_error=1 exitcode=66 second_deadlock_stack=1"
# The tests marked tsan; those that run in a child interpreter pass TSAN_OPTIONS on to it,
# so a report there fails its test.
PYTHONWARNINGS=default "$venv/bin/python" -P -m pytest -q -p no:cacheprovider -m tsan tests "$@"
