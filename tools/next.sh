#!/usr/bin/env bash
# CPython 3.14 and 3.15, from a Debian unstable root that the bootstrap makes:
#   - the whole suite on each default build, in .venv-3.14 and .venv-3.15, with quoril
#     built from the tree (warnings as errors) and imported once with warnings as errors;
#   - every source compiled against each version's headers with Py_GIL_DISABLED defined
#     and -Werror. Debian ships no free-threaded interpreter, so those builds are
#     compile-checked only.
# Arguments go to pytest. With --bench instead: bench/run.py on 3.14 into
# bench/results-3.14.json, arguments going to it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
VERSIONS="3.14 3.15"

if [ "${1:-}" != --inside ]; then
  tools/bootstrap.sh --next
  exec tools/in-root.sh "${QUORIL_CACHE:-$HOME/.cache/quoril}/debian-sid" tools/next.sh --inside "$@"
fi
shift
mode=test
if [ "${1:-}" = --bench ]; then mode=bench; VERSIONS=3.14; shift; fi

log() { printf '[next] %s\n' "$*" >&2; }

# next_venv <dir> <python>: made once; the requirements re-installed when they change.
next_venv() {
  local dir=$1 py=$2 stamp sum
  if [ ! -x "$dir/bin/python" ] || ! "$dir/bin/python" -c 'import sys' 2>/dev/null; then
    log "creating $dir on $py"
    rm -rf "$dir"
    "$py" -m venv "$dir"
  fi
  stamp=$dir/.requirements.sha
  sum=$(cat requirements/*.txt | sha256sum | cut -d' ' -f1)
  if [ "$(cat "$stamp" 2>/dev/null)" != "$sum" ]; then
    "$dir/bin/python" -m pip install -q --upgrade pip
    "$dir/bin/python" -m pip install -q -r requirements/test-gil.txt
    echo "$sum" >"$stamp"
  fi
}

for v in $VERSIONS; do
  venv=.venv-$v
  next_venv "$venv" "/usr/bin/python$v"
  log "building quoril for $("$venv/bin/python" -c 'import platform; print(platform.python_version())')"
  "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
    -Ccmake.define.QUORIL_WERROR=ON .
  if [ $mode = bench ]; then
    exec "$venv/bin/python" -P bench/run.py --out "bench/results-$v.json" "$@"
  fi
  # The version check at import must stay silent on the version the module was built for.
  "$venv/bin/python" -P -W error -c 'import quoril'
  log "no warning at import on $v"
  log "suite on $v"
  "$venv/bin/python" -P -m pytest -q -p no:cacheprovider "$@"
done

# The free-threaded configuration: the same CMake build, the headers told Py_GIL_DISABLED.
# The default build's pyconfig.h leaves the macro undefined, so a definition on the command
# line is the only one; tools/ft-probe.h, forced into every file, fails the compile unless
# the free-threaded object header is in effect.
for v in $VERSIONS; do
  log "free-threaded compile against the $v headers"
  dir=build/ft-$v
  rm -rf "$dir"
  cmake -S . -B "$dir" -G "Unix Makefiles" -DPython_EXECUTABLE="/usr/bin/python$v" \
    -DCMAKE_BUILD_TYPE=Release -DQUORIL_WERROR=ON \
    -DCMAKE_CXX_FLAGS="-DPy_GIL_DISABLED=1 -include $here/tools/ft-probe.h" >"$dir.log" 2>&1 \
    || { cat "$dir.log" >&2; exit 1; }
  cmake --build "$dir" -j"$(nproc)" >>"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
  log "free-threaded $v: $(find "$dir" -name '*.o' | wc -l) objects, no warnings"
done
