# Thin wrapper around CMake: the README's demo and test commands.
BUILD ?= build
JOBS ?= 2

.PHONY: all setup build demo test test-asan test-tsan fuzz check clean

all: build

setup:
	@bash scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

# A short capture then playback of hd frames in a temporary directory on disk.
demo: build
	@dir=$$(mktemp -d /var/tmp/ordavi-demo.XXXXXX) && \
	  trap 'rm -rf "$$dir"' EXIT && \
	  ./$(BUILD)/ordavi -w hd -n 100 "$$dir" && \
	  ./$(BUILD)/ordavi --noinfo -n 100 "$$dir"

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer,
# and under ThreadSanitizer: any report fails the run.
test-asan: setup
	cmake -S . -B build-asan -DORDAVI_SANITIZE=address -DORDAVI_BENCH=OFF >/dev/null
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)

test-tsan: setup
	cmake -S . -B build-tsan -DORDAVI_SANITIZE=thread -DORDAVI_BENCH=OFF >/dev/null
	cmake --build build-tsan -j$(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j$(JOBS)

# A bounded libFuzzer run over the command line (clang). A crash input is
# left in build-fuzz/; copy it into fuzz/regressions/ so the unit tests
# replay it from then on.
FUZZ_SECONDS ?= 60
fuzz: setup
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DORDAVI_SANITIZE=fuzzer >/dev/null
	cmake --build build-fuzz -j$(JOBS) --target fuzz_command_line
	mkdir -p build-fuzz/corpus
	./build-fuzz/fuzz_command_line -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 \
	  -artifact_prefix=build-fuzz/ build-fuzz/corpus fuzz/corpus

# Everything CI runs.
check: test test-asan test-tsan fuzz

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz

# ordavi against fio, run in alternating pairs on the same disk (see the
# README's "Benchmarks against fio"). Installs fio if missing; needs root to
# drop the page cache. BENCH_DIR is where the data goes (never tmpfs); the
# table lands in results/ as CSV. bench-quick: fewer frames, 3 pairs.
# BENCH_ARGS passes options to the script, e.g. "--only hd-read --pairs 15".
BENCH_DIR ?= /var/tmp
BENCH_ARGS ?=
.PHONY: bench bench-quick

bench: build
	@bash bench/run.sh --ordavi ./$(BUILD)/ordavi --dir $(BENCH_DIR) $(BENCH_ARGS)

bench-quick: build
	@bash bench/run.sh --quick --ordavi ./$(BUILD)/ordavi --dir $(BENCH_DIR) $(BENCH_ARGS)
