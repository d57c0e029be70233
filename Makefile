# Thin front end to CMake: `make` builds, `make demo` runs the main job,
# `make check` builds and runs every test, then again under AddressSanitizer
# and UndefinedBehaviorSanitizer, then the symbol, install, subproject, man
# page, unit and Debian package checks and a short replay of the fuzz
# targets.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
SAN_BUILD ?= build-san
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = roundtrip reverse address encoders sha1_hmac request socketmap
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)
# Extra cmake -D flags for every configuration made here.
CMAKE_FLAGS ?=
# The project's own builds treat warnings as errors.
DEV_FLAGS = -DREWRITE_WERROR=ON $(CMAKE_FLAGS)
# make check builds every part and fails, naming the packages, when one
# cannot be built; make and make demo build what this machine can.
ALL_PARTS = -DREWRITE_TESTS=ON -DREWRITE_SQLITE=ON -DREWRITE_REDIS=ON

SRS = $(BUILD)/tool/srs
DEMO_SECRET ?= demo-secret
DEMO_SENDER ?= alice@example.org
DEMO_ALIAS ?= forwarder.example

PREFIX ?= /usr/local

.PHONY: all build demo check test test-san bench fuzz-build fuzz fuzz-replay clean \
	install install-check minimal-check man-check unit-check memcheck soak \
	symbol-check subproject-check package-check

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The main job: forward a sender, then reverse the rewritten address.
demo: build
	@fwd=$$($(SRS) --forward --secret=$(DEMO_SECRET) --alias=$(DEMO_ALIAS) $(DEMO_SENDER)); \
	back=$$($(SRS) --reverse --secret=$(DEMO_SECRET) "$$fwd"); \
	echo "forward  $(DEMO_SENDER) -> $$fwd"; \
	echo "reverse  $$fwd -> $$back"; \
	test "$$back" = "$(DEMO_SENDER)"

# The tests build the benchmarks too (they are not run here), so that they
# keep compiling.
test:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(ALL_PARTS) -DREWRITE_BENCH=ON $(DEV_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) $(CTEST_FLAGS)

test-san:
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DREWRITE_SANITIZE=ON $(ALL_PARTS) \
		-DREWRITE_BENCH=OFF -DREWRITE_SHARED=OFF $(DEV_FLAGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(SAN_BUILD) $(CTEST_FLAGS)

check: test test-san symbol-check install-check subproject-check minimal-check man-check \
	unit-check package-check memcheck fuzz-replay

# The shared libraries export exactly the names of lib/exports.txt and
# stores/sqlite/exports.txt, which are what their headers declare.
symbol-check: build
	scripts/symbol-check.sh $(BUILD)

# srs under valgrind's memcheck: one-shot runs over good and bad input, and
# the daemon up to its orderly end.
memcheck: build
	scripts/memcheck.sh $(SRS)

# The daemon under 64 clients for 20000 requests, every reply checked.
soak: build
	$(BUILD)/tests/soak

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# An installed copy in a temporary prefix, used from outside through
# pkg-config and through find_package.
install-check:
	scripts/install-check.sh

# The source tree used by a C project through add_subdirectory
# (tests/subproject), with the static and the shared library.
subproject-check:
	scripts/subproject-check.sh

# The Debian packages (debian/) built from a clean copy of the tree, checked
# by lintian, installed on this machine, used, removed and purged. Needs
# root and the packaging tools (.ci/run installs them).
package-check:
	scripts/package-check.sh

# make demo and make install on a machine with nothing but cmake, g++ and
# make: every optional dependency hidden from the configuration.
minimal-check:
	scripts/minimal-check.sh

# The man pages render without warnings and name every option and function.
man-check:
	scripts/man-check.sh

# The systemd unit verifies (skipped where systemd-analyze cannot run).
unit-check: build
	scripts/unit-check.sh $(BUILD)/tool/srs

# Benchmarks (Release build): the library beside OpenSSL, then the daemon
# beside a minimal fork-per-connection server, then database mode with the
# Redis store (when it is built). Pinned to one core when
# taskset is there, for steadier figures; the repetitions of all the
# micro-benchmarks run in random order, so that a slow spell of the machine
# falls on all of them alike.
PIN := $(shell command -v taskset >/dev/null 2>&1 && echo taskset -c 1)
bench:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DREWRITE_BENCH=ON -DREWRITE_TESTS=OFF \
		$(DEV_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(PIN) $(BENCH_BUILD)/bench/bench_micro --benchmark_min_time=0.2 \
		--benchmark_repetitions=7 --benchmark_enable_random_interleaving=true \
		--benchmark_report_aggregates_only=true
	$(BENCH_BUILD)/bench/srs-load
	$(BENCH_BUILD)/bench/socketmap-load
	$(BENCH_BUILD)/bench/socketmap-load --store=sqlite
	[ ! -x $(BENCH_BUILD)/bench/sqlite-store-load ] || $(BENCH_BUILD)/bench/sqlite-store-load
	@if [ -x $(BENCH_BUILD)/bench/redis-store-load ]; then $(BENCH_BUILD)/bench/redis-store-load; \
	else echo "redis-store-load: not built (REWRITE_REDIS left out: libhiredis-dev pkg-config)"; fi
	[ ! -x $(BENCH_BUILD)/bench/redis-store-load ] || $(BENCH_BUILD)/bench/socketmap-load --store=redis

# libFuzzer targets, built with clang under ASan and UBSan. `make fuzz` runs
# each for FUZZ_SECONDS, growing a working corpus in $(FUZZ_BUILD)/corpus
# from the committed seeds in fuzz/corpus; `make fuzz-replay` replays the
# committed seeds and fuzzes each target for a few seconds.
fuzz-build:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DREWRITE_FUZZ=ON -DREWRITE_TESTS=OFF -DREWRITE_EXAMPLES=OFF -DREWRITE_SQLITE=OFF -DREWRITE_REDIS=OFF \
		-DREWRITE_BENCH=OFF -DREWRITE_SHARED=OFF $(DEV_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
		echo "== fuzz_$$t ($(FUZZ_SECONDS) s)"; \
		$(FUZZ_BUILD)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-artifact_prefix=$(FUZZ_BUILD)/$$t- $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t \
			> $(FUZZ_BUILD)/$$t.log 2>&1 || { tail -40 $(FUZZ_BUILD)/$$t.log; exit 1; }; \
		grep -E '^stat::(number_of_executed_units|new_units_added)' $(FUZZ_BUILD)/$$t.log; \
	done

fuzz-replay: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
		echo "== fuzz_$$t: seeds, then 10 s"; \
		$(FUZZ_BUILD)/fuzz/fuzz_$$t -runs=0 fuzz/corpus/$$t > $(FUZZ_BUILD)/$$t.log 2>&1 \
			|| { tail -40 $(FUZZ_BUILD)/$$t.log; exit 1; }; \
		tail -1 $(FUZZ_BUILD)/$$t.log; \
		mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
		$(FUZZ_BUILD)/fuzz/fuzz_$$t -max_total_time=10 -artifact_prefix=$(FUZZ_BUILD)/$$t- \
			$(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t > $(FUZZ_BUILD)/$$t.log 2>&1 \
			|| { tail -40 $(FUZZ_BUILD)/$$t.log; exit 1; }; \
	done

clean:
	rm -rf $(FUZZ_BUILD) $(BUILD) $(SAN_BUILD) $(BENCH_BUILD)
