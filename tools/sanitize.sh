#!/usr/bin/env bash
# Runs the whole test suite against sanitizer builds of the extension:
#   AddressSanitizer + UndefinedBehaviorSanitizer on the default build (PYTHONMALLOC=malloc so
#   that ASan sees every heap block), UndefinedBehaviorSanitizer on the free-threaded build
#   (its mimalloc hides heap blocks from ASan). Any report fails the run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

base_of() { "$1" -c 'import sys; print(sys._base_executable)'; }

# sanitized_venv <dir> <base venv> <requirements> <sanitizers>
sanitized_venv() {
  local dir=$1 base=$2 req=$3 sanitizers=$4
  local py
  py=$(base_of "$base/bin/python")
  [ -x "$dir/bin/python" ] || "$py" -m venv "$dir"
  "$dir/bin/python" -m pip install -q -r "$req"
  "$dir/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
    -Cbuild-dir="build/$(basename "$dir")" -Ccmake.build-type=Debug \
    -Ccmake.define.QUORIL_WERROR=ON -Ccmake.define.QUORIL_SANITIZE="$sanitizers" .
}

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:report_error_type=1
export PYTHONFAULTHANDLER=1

sanitized_venv .venv-asan .venv-gil requirements/test-gil.txt address,undefined
echo "== AddressSanitizer + UndefinedBehaviorSanitizer, default build"
LD_PRELOAD="$(gcc -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
  .venv-asan/bin/python -P -m pytest -q -p no:cacheprovider "$@"

sanitized_venv .venv-ubsan .venv requirements/test-ft.txt undefined
echo "== UndefinedBehaviorSanitizer, free-threaded build"
.venv-ubsan/bin/python -P -m pytest -q -p no:cacheprovider "$@"
