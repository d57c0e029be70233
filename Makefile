# Thin front end to CMake: `make` builds, `make check` builds and runs every
# test, then again under AddressSanitizer and UndefinedBehaviorSanitizer.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
SAN_BUILD ?= build-san
BENCH_BUILD ?= build-bench
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

SRS = $(BUILD)/tool/srs
DEMO_SECRET ?= demo-secret
DEMO_SENDER ?= alice@example.org
DEMO_ALIAS ?= forwarder.example

.PHONY: all build demo check test test-san bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
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
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DREWRITE_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) $(CTEST_FLAGS)

test-san:
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DREWRITE_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(SAN_BUILD) $(CTEST_FLAGS)

check: test test-san

# Benchmarks (Release build): the library beside OpenSSL, then the daemon
# beside a minimal fork-per-connection server. Pinned to one core when
# taskset is there, for steadier figures.
PIN := $(shell command -v taskset >/dev/null 2>&1 && echo taskset -c 1)
bench:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DREWRITE_BENCH=ON -DREWRITE_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(PIN) $(BENCH_BUILD)/bench/bench_micro --benchmark_min_time=0.2 \
		--benchmark_repetitions=7 --benchmark_report_aggregates_only=true
	$(BENCH_BUILD)/bench/srs-load

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(BENCH_BUILD)
