# Front door. The builds themselves are CMake presets (CMakePresets.json):
#   board  RP2040 image, build/board/orlix-fw-io.elf and .uf2
#   host   simulated board, tests, tools and the virtual board, build/host (Debug, ASan+UBSan)
#   run    the virtual board and its tools, optimised without sanitizers, build/run
SHELL := /bin/bash
CMAKE ?= cmake
CTEST ?= ctest

.DEFAULT_GOAL := help
.PHONY: help setup firmware host fuzz fuzz-long check run fleet-web bench clean distclean

help:
	@echo "make setup      install the tools and dependencies (scripts/setup)"
	@echo "make firmware   build the board image: build/board/orlix-fw-io.elf and .uf2, with its size report"
	@echo "make host       build the simulated board, tests and tools into build/host"
	@echo "make fuzz       build the libFuzzer targets (build/fuzz)"
	@echo "make fuzz-long  run every fuzz target for FUZZ_SECONDS (or FUZZ_RUNS) each; build/fuzz/report.md"
	@echo "make check      both builds and every test (the board image on the emulated chip too), the fuzz targets briefly"
	@echo "make run        start the virtual board (build/run/sim/orlix-sim; ARGS=\"--web\" and so on)"
	@echo "make fleet-web  a fleet of cabinets on its page, http://127.0.0.1:8041/ (ARGS=\"SCRIPT\" or \"--cabinets N\")"
	@echo "make bench      run the benchmarks"
	@echo "make clean      remove build/ (distclean also removes deps/)"

setup:
	@scripts/setup

firmware: setup
	@test -f build/board/build.ninja || $(CMAKE) --preset board
	$(CMAKE) --build --preset board

host: setup
	@test -f build/host/build.ninja || $(CMAKE) --preset host
	$(CMAKE) --build --preset host

fuzz: setup
	@test -f build/fuzz/build.ninja || $(CMAKE) --preset fuzz
	$(CMAKE) --build --preset fuzz

# Each target for FUZZ_SECONDS (default 60) or FUZZ_RUNS runs; runs add up over sessions.
fuzz-long: fuzz
	scripts/fuzz-long

check: setup firmware host fuzz
	$(CTEST) --test-dir build/host --output-on-failure -j2
	$(CTEST) --test-dir build/fuzz --output-on-failure -j2
	nice node --test --test-concurrency=2 tests/emu/

# Only what the virtual board and its tools need, not the tests, built
# optimised: the sanitizers of the host build would slow it below real time.
# With nothing to rebuild it prints nothing but the board.
run: setup
	@test -f build/run/build.ninja || $(CMAKE) --preset run
	@set -o pipefail; $(CMAKE) --build --preset run --target orlix-sim orlix-push orlix-fobmsg orlix-fleet \
	  | { grep -v -e '^ninja: no work to do\.$$' -e 'Re-checking globbed directories' || true; }
	@build/run/sim/orlix-sim $(ARGS)

# The fleet at real time on its page, built as `make run` builds the virtual board.
fleet-web: setup
	@test -f build/run/build.ninja || $(CMAKE) --preset run
	@set -o pipefail; $(CMAKE) --build --preset run --target orlix-fleet \
	  | { grep -v -e '^ninja: no work to do\.$$' -e 'Re-checking globbed directories' || true; }
	@build/run/sim/fleet/orlix-fleet --web $(ARGS)

# The bench tests, then one table of every figure beside its limit or budget
# (with the board image's figures from the emulated chip).
bench: host firmware
	@test -f build/run/build.ninja || $(CMAKE) --preset run
	$(CMAKE) --build --preset run --target orlix-fleet
	$(CTEST) --test-dir build/host -L bench --output-on-failure
	@node tests/bench/report.js build/host

clean:
	rm -rf build

distclean: clean
	rm -rf deps
