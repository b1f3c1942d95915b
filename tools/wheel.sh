#!/usr/bin/env bash
# Builds the cp313 and cp313t wheels into dist/, repaired to a manylinux tag by auditwheel,
# then checks each in a fresh venv: the wheel alone installs with no index, and the suite and
# the typing checks run against the installed copy from a directory outside the tree (a copy of
# tests/, bench/data and the README), where the source package cannot shadow it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
work=build/wheel
rm -rf dist "$work/raw" "$work/check"
mkdir -p dist "$work/check"

base_of() { "$1" -c 'import sys; print(sys._base_executable)'; }

tools=$work/tools
[ -x "$tools/bin/python" ] || "$(base_of .venv-gil/bin/python)" -m venv "$tools"
"$tools/bin/python" -m pip install -q -r requirements/wheel.txt

for venv in .venv-gil .venv; do
  "$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation \
    -Cbuild-dir="$work/build/{wheel_tag}" -w "$work/raw" .
done
for whl in "$work"/raw/*.whl; do
  PATH=$here/$tools/bin:$PATH "$tools/bin/auditwheel" repair -w dist "$whl" 2>&1 \
    | { grep -v '^INFO' || true; }
done
ls -l dist

# check <ABI tag> <venv whose interpreter to use> <test requirements>
check() {
  local tag=$1 venv=$2 req=$3
  local whl env run
  whl=$here/$(ls dist/quoril-*-cp313-"$tag"-*manylinux*.whl)
  env=$work/check/venv-$tag
  run=$here/$work/check/run-$tag
  echo "== $(basename "$whl")"
  "$(base_of "$venv/bin/python")" -m venv "$env"
  "$env/bin/python" -m pip install -q --no-index "$whl"
  "$env/bin/python" -m pip install -q -r "$req"
  mkdir -p "$run/bench"
  cp -r tests "$run/tests"
  cp -r bench/data "$run/bench/data"
  cp README.md "$run/"
  env=$here/$env
  (
    cd "$run"
    "$env/bin/python" -P - "$whl" <<'PY'
import pathlib, sys, zipfile
import quoril, quoril._cquoril
for mod in (quoril, quoril._cquoril):
    assert pathlib.Path(mod.__file__).is_relative_to(sys.prefix), f"{mod.__name__} from {mod.__file__}"
names = zipfile.ZipFile(sys.argv[1]).namelist()
for want in ("quoril/py.typed", "quoril/__init__.pyi", "quoril/_cquoril.pyi",
             "quoril-0.1.0.dist-info/licenses/LICENSE"):
    assert want in names, f"{want} missing from the wheel"
print("installed from", pathlib.Path(quoril.__file__).parent)
PY
    "$env/bin/python" -P -m pytest -q -p no:cacheprovider tests
    "$env/bin/python" -P tests/typecheck/check.py
  )
}

check cp313 .venv-gil requirements/test-gil.txt
check cp313t .venv requirements/test-ft.txt
