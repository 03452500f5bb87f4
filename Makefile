# Front door of the build. `make` builds, `make demo` runs the guided tour,
# `make test` runs every test group. Everything lands in build/.
SHELL := /bin/bash
CMAKE ?= cmake
CTEST ?= ctest
JOBS  ?= $(shell nproc)

HAVE_MINGW := $(shell command -v i686-w64-mingw32-g++ >/dev/null 2>&1 && command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 && command -v ld.lld >/dev/null 2>&1 && echo yes)

.PHONY: all host asan tsan images demo demo-run deps-demo deps-test test test-all test-format test-host test-asan test-tsan test-fuzz fuzz bench format clean

all: host $(if $(HAVE_MINGW),images)

build/%/build.ninja:
	$(CMAKE) --preset $* >/dev/null

host: build/host/build.ninja
	$(CMAKE) --build build/host -j $(JOBS)

asan: build/asan/build.ninja
	$(CMAKE) --build build/asan -j $(JOBS)

# The TSan tree builds only what its tests need: the concurrency tests.
tsan: build/tsan/build.ninja
	$(CMAKE) --build build/tsan -j $(JOBS) --target concurrency_tests

images: build/mingw-i686/build.ninja build/mingw-x86_64/build.ninja
	$(CMAKE) --build build/mingw-i686 -j $(JOBS)
	$(CMAKE) --build build/mingw-x86_64 -j $(JOBS)
	@# Each build stages its signed image set in build/mingw-<arch>/images
	@# (cmake/ImageSet.cmake); replace the copy so no stale file survives.
	@for arch in i686 x86_64; do \
	  rm -rf build/images/$$arch && mkdir -p build/images && \
	  cp -R build/mingw-$$arch/images build/images/$$arch || exit 1; \
	  echo "images: build/images/$$arch: $$(cd build/images/$$arch && ls -p | grep -v / | tr '\n' ' ')"; \
	done

# On Debian, `make demo` and `make test` first install the packages they
# need when some are missing (tools/setup/deps.sh; PDKIT_INSTALL_DEPS=no only
# checks). The rest runs in a new make, which sees what was just installed.
deps-demo:
	@tools/setup/deps.sh demo

deps-test:
	@tools/setup/deps.sh test

demo: deps-demo
	@$(MAKE) --no-print-directory demo-run

# The tour needs only pdctl, ntsim and the three driver modules (pdctl
# depends on them): the tests and tools of the host tree wait for `make`.
demo-run: build/host/build.ninja
	$(CMAKE) --build build/host -j $(JOBS) --target pdctl
	@tools/pdctl/demo.sh

# The formatting check, host tests, then the same tests under ASan+UBSan,
# then the concurrency tests under TSan, then a short run of every fuzz
# target. Image tests run when the cross compilers are installed.
test: deps-test
	@$(MAKE) --no-print-directory test-all

test-all: test-format test-host test-asan test-tsan test-fuzz

# Host code in one style (.clang-format); driver code keeps the WDK's. The
# verifier rule table of docs/ARCHITECTURE.md follows ntsim's sources.
test-format:
	@tools/style/format.sh --check
	@tools/docs/rule_table.py --check

format:
	@tools/style/format.sh

test-host: all
	$(CTEST) --test-dir build/host --output-on-failure -j $(JOBS)

test-asan: asan
	$(CTEST) --test-dir build/asan --output-on-failure -j $(JOBS) -LE 'images|bench|wine'

test-tsan: tsan
	$(CTEST) --test-dir build/tsan --output-on-failure -j $(JOBS) -L concurrency

# The libFuzzer targets (clang), each run for FUZZ_SECONDS on its corpus
# (docs/RELIABILITY.md). make test runs them for TEST_FUZZ_SECONDS each.
# A target runs in one process on one core: FUZZ_JOBS of them run at a time
# (one per core), each for its whole FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
TEST_FUZZ_SECONDS ?= 55
FUZZ_JOBS ?= $(JOBS)
FUZZ_TARGETS := fuzz_tavrin fuzz_kelvane fuzz_ostrel

fuzz: build/fuzz/build.ninja
	$(CMAKE) --build build/fuzz -j $(JOBS) --target fuzz_targets
	@printf '%s\n' $(FUZZ_TARGETS) | xargs -P $(FUZZ_JOBS) -I{} fuzz/run.sh build/fuzz {} $(FUZZ_SECONDS)

test-fuzz:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(TEST_FUZZ_SECONDS)

# Every benchmark, three times: the summary at the end gives the medians
# docs/PERFORMANCE.md reports. Then every other speed goal measured
# (bench/goals.sh), BENCH_GOALS of them (default all; goal 3 takes about 10
# minutes), and one table of them all, pdbench's goals included.
BENCH_FLAGS ?= --benchmark_repetitions=3
BENCH_GOALS ?= 1 2 3 4
bench: .SHELLFLAGS := -o pipefail -c
bench: host
	build/host/bin/pdbench $(BENCH_FLAGS) | tee build/host/pdbench.txt
	bench/goals.sh $(BENCH_GOALS)

clean:
	rm -rf build
