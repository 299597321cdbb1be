# Set-up and everyday targets. `make demo` and `make check` work on a fresh Debian 12 machine:
# run as root they install the missing build packages first.
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
PACKAGES := cmake g++ make libtbb-dev libgtest-dev libbenchmark-dev
CTEST := ctest --output-on-failure --no-tests=error -j $(JOBS)

.PHONY: deps build demo check check-report check-asan check-tsan bench clean
.PHONY: fuzz-parsers
.PHONY: fuzz fuzz-long mutants
.PHONY: engine studio check-studio bench-studio

# Clang, its sanitizer and libFuzzer runtimes, and LLVM's OpenMP runtime with the Archer tool
# (the OpenMP tool that tells the thread sanitizer about fork/join, barriers and locks): used by
# check-tsan and fuzz-parsers.
CLANG_PACKAGES := clang libclang-rt-14-dev libomp-14-dev
ARCHER := /usr/lib/llvm-14/lib/libarcher.so

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else echo "missing packages (run as root to install):$$missing"; exit 1; fi; \
	fi

build/Makefile: | deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release

build: deps build/Makefile
	cmake --build build -j $(JOBS)

# The Python client (python/) needs Python 3.11 and its standard library only; its report
# screenshot test needs a headless Chromium. Debian's interpreter, on purpose: Debian's Python
# packages (the batch runner's Dask) serve it, and a python3 found first on PATH (pyenv) may
# be another one.
PYTHON := /usr/bin/python3
DEMO_REPORT := build/demo/report.html


check: build
	@$(MAKE) deps PACKAGES="python3 $(BATCH_PACKAGES)"
	cd build && $(CTEST)
	$(PYTHON) python/run_tests.py

# The studio (python/travanto/studio): a local web app to set up, solve, browse, lock, save and
# reopen spots, served on 127.0.0.1 only. `make demo` builds the engine alone (no tests or
# benchmarks), solves the bundled turn spot, writes its report and saves the solved tree into
# the studio's workspace. STUDIO_ARGS go to travanto-studio (--port 8080, --no-browser).
# check-studio runs the studio's API tests and its browser test (Debian's chromium driven by
# playwright-core, pinned in python/tests/studio/package-lock.json; no browser download);
# screenshots of the main views go to build/studio-shots/.
STUDIO_WORKSPACE ?= $(HOME)/travanto-spots
STUDIO_ARGS ?=
STUDIO_ENV := TRAVANTO_ENGINE=$(CURDIR)/build/travanto PYTHONPATH=$(CURDIR)/python

engine: deps build/Makefile
	cmake --build build --target travanto -j $(JOBS)

demo: engine
	@$(MAKE) deps PACKAGES=python3
	$(STUDIO_ENV) $(PYTHON) python/bin/travanto-solve examples/turn_spot.toml --output $(DEMO_REPORT) \
	  --save demo-turn --workspace $(STUDIO_WORKSPACE)
	@echo "open $(abspath $(DEMO_REPORT)) in a browser,"
	@echo "or run make studio and open demo-turn under Files (workspace $(STUDIO_WORKSPACE))"

studio: engine
	@$(MAKE) deps PACKAGES=python3
	$(STUDIO_ENV) $(PYTHON) -m travanto.studio --workspace $(STUDIO_WORKSPACE) $(STUDIO_ARGS)

check-studio: engine
	@$(MAKE) deps PACKAGES="python3 chromium"
	@for tool in node:nodejs npm:npm; do \
	  command -v $${tool%%:*} >/dev/null && continue; \
	  if [ "$$(id -u)" = 0 ]; then apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $${tool##*:} >/dev/null; \
	  else echo "missing $${tool%%:*} (run as root to install)"; exit 1; fi; \
	done
	$(STUDIO_ENV) $(PYTHON) python/run_tests.py test_studio.py
	cd python/tests/studio && npm ci --no-audit --no-fund --loglevel=error
	$(STUDIO_ENV) PYTHON=$(PYTHON) STUDIO_SHOTS=$(CURDIR)/build/studio-shots \
	  node python/tests/studio/browser_test.js

# Responsiveness of the studio on the F1 flop spot (a measurement, not a test).
bench-studio: engine
	$(STUDIO_ENV) $(PYTHON) -m travanto.studio.benchmark --threads $(BENCH_THREADS)

# The HTML report as Chromium draws it (a headless screenshot of a solved spot's grid).
check-report: build
	@$(MAKE) deps PACKAGES="python3 chromium"
	$(PYTHON) python/run_tests.py screenshot_test.py

# Batch solving on Dask (python/travanto/batch): Debian's Dask for /usr/bin/python3. The batch
# test's report screenshot uses chromium when present (make check-report installs it).
BATCH_PACKAGES := python3-distributed
BATCH_DEMO := build/batch-demo
.PHONY: batch-demo check-batch

# One spot on three river boards, on a local Dask cluster; a rerun skips the boards done.
batch-demo: engine
	@$(MAKE) deps PACKAGES="python3 $(BATCH_PACKAGES)"
	$(PYTHON) python/bin/travanto-batch examples/batch_spot.toml --out $(BATCH_DEMO) \
	  --flops Td9d6hQc2s,Ks7d2c5h9h,Ah8h3c8dJd
	@echo "open $(abspath $(BATCH_DEMO))/report.html in a browser"

check-batch: build
	@$(MAKE) deps PACKAGES="python3 $(BATCH_PACKAGES)"
	$(PYTHON) python/run_tests.py test_batch.py

check-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTRAVANTO_SANITIZE=address,undefined -DTRAVANTO_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 $(CTEST) -LE long

# Built with clang and LLVM's OpenMP runtime, whose Archer tool (loaded by OMP_TOOL_LIBRARIES)
# tells the sanitizer about fork/join, barriers and locks, so the passes run on their usual
# worker count. Accesses inside the uninstrumented runtimes (OpenMP, tbbmalloc) are not checked.
# A build folder made with another compiler is made afresh. At least two workers, also on a
# single processor.
TSAN_THREADS ?= $(shell n=$$(nproc); [ $$n -lt 2 ] && n=2; echo $$n)
check-tsan:
	@$(MAKE) deps PACKAGES="$(PACKAGES) $(CLANG_PACKAGES)"
	@grep -qs '^CMAKE_CXX_COMPILER:.*clang' build-tsan/CMakeCache.txt || rm -rf build-tsan
	cmake -S . -B build-tsan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTRAVANTO_SANITIZE=thread -DTRAVANTO_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && OMP_NUM_THREADS=$(TSAN_THREADS) OMP_TOOL_LIBRARIES=$(ARCHER) \
	  TSAN_OPTIONS="halt_on_error=1 ignore_noninstrumented_modules=1" \
	  $(CTEST) -LE long

# Whole spots (SPOTS: names in the shared spot folder or script paths), then the kernel
# benchmarks when Google Benchmark was found.
SPOTS ?= R1 T1
BENCH_THREADS ?= 2
bench: build
	./build/bench/solve --threads $(BENCH_THREADS) $(SPOTS)
	@if [ -x build/bench/travanto_bench ]; then ./build/bench/travanto_bench; fi

# libFuzzer targets of the binary decoders, tree files and entropy streams (clang, address and
# undefined-behaviour sanitizers): each replays its seeds in tests/fuzz/corpus/<target>, then fuzzes
# PARSER_FUZZ_SECONDS; PARSER_FUZZ_TARGETS picks some (file stems in tests/fuzz/targets).
# Inputs found stay in build-fuzz-parsers/fuzz-work; failures in build-fuzz-parsers/fuzz-artifacts.
PARSER_FUZZ_SECONDS ?= 30
PARSER_FUZZ_TARGETS ?=
fuzz-parsers:
	@$(MAKE) deps PACKAGES="cmake make libtbb-dev $(CLANG_PACKAGES)"
	cmake -S . -B build-fuzz-parsers -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTRAVANTO_SANITIZE=address,undefined -DTRAVANTO_FUZZ=ON -DTRAVANTO_TESTS=OFF -DTRAVANTO_BENCH=OFF
	cmake --build build-fuzz-parsers --target fuzz_targets -j $(JOBS)
	tests/fuzz/targets/run_fuzzers.sh build-fuzz-parsers $(PARSER_FUZZ_SECONDS) $(PARSER_FUZZ_TARGETS)

# Protocol fuzzer: random command sequences from the engine's command table, hostile ones mixed
# in, judged by invariants, against the address and undefined-behaviour sanitizer build (configured
# as check-asan does). It replays its seeds in tests/fuzz/protocol_corpus first; FUZZ_SEED picks the
# sequence, FUZZ_SECONDS bounds the run. Failing cases, up to their failing line, go to FUZZ_OUT.
FUZZ_SECONDS ?= 180
FUZZ_SEED ?= 1
FUZZ_OUT ?= build-asan/protocol-fuzz-failures
fuzz: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTRAVANTO_SANITIZE=address,undefined -DTRAVANTO_BENCH=OFF
	cmake --build build-asan --target travanto -j $(JOBS)
	$(PYTHON) tests/fuzz/protocol_fuzz_test.py
	rm -rf $(FUZZ_OUT)
	$(PYTHON) tests/fuzz/protocol_fuzz.py --binary build-asan/travanto --seed $(FUZZ_SEED) \
	  --seconds $(FUZZ_SECONDS) --out $(FUZZ_OUT)

FUZZ_LONG_SECONDS ?= 3600
fuzz-long:
	@$(MAKE) fuzz FUZZ_SECONDS=$(FUZZ_LONG_SECONDS)

# Mutation check (a developer tool, too slow for CI): a fixed, seeded sample of MUTANTS small
# mutations of cards/, kernels/, tree/, solver/, storage/ and queries/, one at a time, each rebuilt
# incrementally and run against the unit-labelled tests; prints the killed share and the survivors.
MUTANTS ?= 150
MUTANTS_SEED ?= 33
mutants: build
	$(PYTHON) tools/mutants.py --count $(MUTANTS) --seed $(MUTANTS_SEED) --jobs $(JOBS)

clean:
	rm -rf build build-asan build-tsan build-fuzz-parsers build-windows

# 64-bit Windows: cross-compiled with Debian's MinGW-w64 GCC (POSIX threads, its libgomp), one
# statically linked build-windows/travanto.exe that picks its kernels at run time like the Linux
# build. check-windows runs, under Debian's Wine, the Windows build's unit tests and, against the
# Linux build, every protocol case, a turn solve, tree files across both builds and the process
# watch (tests/windows/check_windows.py). windows-zip packs the exe, the README's Windows
# section and the example scripts. WINDOWS_BENCH_SPOT: T1 under Wine against the Linux build.
.PHONY: windows check-windows windows-zip bench-windows
WINDOWS_PACKAGES := cmake make g++-mingw-w64-x86-64-posix libgtest-dev
WINE_PACKAGES := wine wine64 python3
WINDOWS_CMAKE := cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTRAVANTO_BENCH=OFF
# A prefix of its own; no prompts to install Wine's .NET and HTML engines, which a console program does not use.
WINE_ENV := WINEDEBUG=-all WINEPREFIX=$(CURDIR)/build-windows/wine WINEDLLOVERRIDES="mscoree,mshtml="
# GoogleTest filter for the Windows unit tests under Wine (all of them take about 70 s on 2 cores).
WINDOWS_TEST_FILTER ?= *
WINDOWS_ZIP := travanto-windows-x64.zip

windows:
	@$(MAKE) deps PACKAGES="$(WINDOWS_PACKAGES)"
	@[ -f build-windows/CMakeCache.txt ] || $(WINDOWS_CMAKE)
	cmake --build build-windows --target travanto -j $(JOBS)

check-windows: windows engine
	@$(MAKE) deps PACKAGES="$(WINE_PACKAGES)"
	cmake --build build-windows --target unit_tests -j $(JOBS)
	$(WINE_ENV) wineboot -i >/dev/null 2>&1 || true
	cd build-windows && $(WINE_ENV) wine tests/unit_tests.exe --gtest_brief=1 --gtest_filter='$(WINDOWS_TEST_FILTER)'
	$(WINE_ENV) $(PYTHON) tests/windows/check_windows.py build-windows/travanto.exe build/travanto; \
	  status=$$?; $(WINE_ENV) wineserver -w; exit $$status

WINDOWS_BENCH_SPOT ?= ../shared/bench/spots/T1.txt
bench-windows: windows engine
	@$(MAKE) deps PACKAGES="$(WINE_PACKAGES)"
	$(WINE_ENV) $(PYTHON) bench/windows_bench.py build-windows/travanto.exe build/travanto $(WINDOWS_BENCH_SPOT)

windows-zip: windows
	@$(MAKE) deps PACKAGES="zip"
	rm -rf build-windows/zip $(WINDOWS_ZIP) && mkdir -p build-windows/zip/travanto/examples
	cp build-windows/travanto.exe build-windows/zip/travanto/
	sed -n '/^## Windows/,/^## /p' README.md | sed '$$d' | sed 's/$$/\r/' > build-windows/zip/travanto/README.txt
	for f in examples/*.txt; do sed 's/$$/\r/' $$f > build-windows/zip/travanto/$$f; done
	cd build-windows/zip && zip -qr ../../$(WINDOWS_ZIP) travanto
	@echo "$(WINDOWS_ZIP): $$(unzip -l $(WINDOWS_ZIP) | tail -1)"
