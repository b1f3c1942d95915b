# make test   - set up both interpreters and environments, build, run the tests
# make bench  - the benchmark suite
SHELL := bash
FT := .venv/bin/python
GIL := .venv-gil/bin/python
WERROR ?= OFF
PIP_BUILD := -m pip install -q --no-build-isolation --no-deps -Ccmake.define.QUORIL_WERROR=$(WERROR)

.PHONY: setup build test test-ft test-gil sanitize bench clean

setup:
	tools/bootstrap.sh

build: setup
	$(FT) $(PIP_BUILD) .
	$(GIL) $(PIP_BUILD) .

test: build
	$(FT) -P -m pytest -q
	$(GIL) -P -m pytest -q

sanitize: setup
	tools/sanitize.sh

bench: build
	$(GIL) -m pip install -q -r requirements/bench-gil.txt
	$(GIL) bench/run.py --interpreter gil
	$(FT) bench/run.py --interpreter ft

clean:
	rm -rf build dist .venv .venv-gil .venv-asan .venv-ubsan
