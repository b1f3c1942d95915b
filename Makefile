# make test   - set up both interpreters and environments, build, run the tests
# make bench  - the benchmark suite
SHELL := bash
FT := .venv/bin/python
GIL := .venv-gil/bin/python
WERROR ?= OFF
PIP_BUILD := -m pip install -q --no-build-isolation --no-deps -Ccmake.define.QUORIL_WERROR=$(WERROR)

.PHONY: setup build test test-parallel sanitize fuzz refleak tsan bench clean
.PHONY: typing wheel

# Both interpreters and environments, each with an editable install of the tree
# (so `import quoril` and `python -m pytest` work from the root); run again to rebuild.
setup:
	tools/bootstrap.sh
	$(FT) $(PIP_BUILD) -e .
	$(GIL) $(PIP_BUILD) -e .

build: setup

test: build
	$(FT) -P -m pytest -q
	$(GIL) -P -m pytest -q

# The whole suite in 4 threads at once, on the free-threaded build.
test-parallel: build
	$(FT) -P -m pytest -q -p no:cacheprovider --parallel-threads=4

# The stubs: mypy --strict on a typed usage file and on refused misuses, stubtest on both builds.
typing: build
	$(GIL) -P tests/typecheck/check.py
	$(FT) -P tests/typecheck/check.py

# cp313 and cp313t manylinux wheels in dist/, each tested installed in a fresh venv.
wheel: setup
	tools/wheel.sh

sanitize: setup
	tools/sanitize.sh

# Replays the committed corpus; FUZZ_RUNS=10000000 make fuzz to fuzz for real.
fuzz: setup
	tools/fuzz.sh

refleak: setup
	tools/refleak.sh

tsan: setup
	tools/tsan.sh

# Both builds side by side, the default build of 3.14 (in the Debian root), the
# instruction counts, then the tables and the chart.
bench: build
	$(GIL) -m pip install -q -r requirements/bench-gil.txt
	$(GIL) -P bench/run.py --out bench/results-gil.json
	$(FT) -P bench/run.py --out bench/results-ft.json
	$(GIL) -P bench/instructions.py bench/instructions.json
	tools/next.sh --bench
	$(GIL) -P bench/report.py bench/results-gil.json bench/results-ft.json bench/instructions.json \
	  --extra bench/results-3.14.json
	$(FT) -P bench/cli_stats.py
	$(GIL) -P bench/cli_stats.py --file

# The suite on CPython 3.14 and 3.15 (Debian unstable root, made on first use), then the
# free-threaded configuration of both compiled with -Werror.
.PHONY: test-next
test-next:
	tools/next.sh

clean:
	rm -rf build dist .venv .venv-gil .venv-asan .venv-ubsan .venv-fuzz .venv-debug .venv-tsan
