#!/usr/bin/env bash
# Coverage-guided fuzzing with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer,
# on the default build with every block from malloc (PYTHONMALLOC=malloc in the harness).
#   tools/fuzz.sh                    replay the committed corpus once (what CI runs)
#   FUZZ_RUNS=10000000 tools/fuzz.sh fuzz each target for that many executions
#   FUZZ_TARGETS="unpackb" ...       a subset of targets
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
targets=${FUZZ_TARGETS:-unpackb unpacker readers roundtrip callers}
runs=${FUZZ_RUNS:-0}

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  apt-get update -qq && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
fi
base=$(.venv-gil/bin/python -c 'import sys; print(sys._base_executable)')
config="$(dirname "$base")/python3.13-config"
venv=.venv-fuzz
[ -x "$venv/bin/python" ] || "$base" -m venv "$venv"
"$venv/bin/python" -m pip install -q -r requirements/build.txt
CC=clang CXX=clang++ "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
  --force-reinstall -Cbuild-dir=build/fuzz-ext -Ccmake.build-type=Debug -Cinstall.strip=false \
  -Ccmake.define.QUORIL_SANITIZE=fuzzer-no-link,address,undefined .
mkdir -p build/fuzz
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  fuzz/harness.cpp $("$config" --includes) $("$config" --embed --ldflags) -o build/fuzz/harness

site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
export QUORIL_FUZZ_PATH="$here/fuzz:$site"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:quarantine_size_mb=64:malloc_context_size=5
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in $targets; do
  seeds=fuzz/corpus/$target
  mkdir -p "build/fuzz/findings/$target" "build/fuzz/corpus/$target"
  echo "== $target (runs=$runs)"
  if [ "$runs" = 0 ]; then
    # One replay; grep hides libFuzzer's chatter from the log, its own status decides.
    log=build/fuzz/findings/$target/replay.log
    status=0
    QUORIL_FUZZ_TARGET=$target build/fuzz/harness -runs=0 \
      -artifact_prefix="build/fuzz/findings/$target/" "$seeds" >"$log" 2>&1 || status=$?
    grep -E 'INITED|DONE|ERROR|Done|crash|==' "$log" || true
    if [ "$status" != 0 ]; then
      echo "== $target failed (exit $status); full log in $log"
      exit "$status"
    fi
  else
    QUORIL_FUZZ_TARGET=$target build/fuzz/harness -runs="$runs" -max_len=2048 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/findings/$target/" "build/fuzz/corpus/$target" "$seeds" \
      2>&1 | tail -n 25
  fi
done
