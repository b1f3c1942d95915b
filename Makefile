# make test   - set up both interpreters and environments, build, run the tests
# make bench  - the benchmark suite
SHELL := bash
FT := .venv/bin/python
GIL := .venv-gil/bin/python
WERROR ?= OFF
PIP_BUILD := -m pip install -q --no-build-isolation --no-deps -Ccmake.define.QUORIL_WERROR=$(WERROR)

.PHONY: setup build test test-parallel sanitize fuzz refleak tsan bench clean

setup:
	tools/bootstrap.sh

build: setup
	$(FT) $(PIP_BUILD) .
	$(GIL) $(PIP_BUILD) .

test: build
	$(FT) -P -m pytest -q
	$(GIL) -P -m pytest -q

# The whole suite in 4 threads at once, on the free-threaded build.
test-parallel: build
	$(FT) -P -m pytest -q -p no:cacheprovider --parallel-threads=4

sanitize: setup
	tools/sanitize.sh

# Replays the committed corpus; FUZZ_RUNS=10000000 make fuzz to fuzz for real.
fuzz: setup
	tools/fuzz.sh

refleak: setup
	tools/refleak.sh

tsan: setup
	tools/tsan.sh

bench: build
	$(GIL) -m pip install -q -r requirements/bench-gil.txt
	$(GIL) bench/run.py --interpreter gil
	$(FT) bench/run.py --interpreter ft

clean:
	rm -rf build dist .venv .venv-gil .venv-asan .venv-ubsan .venv-fuzz .venv-debug .venv-tsan
