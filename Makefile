# Thin wrapper around CMake: the README's demo and test commands, install
# and the Debian package. Building and installing need a compiler and CMake
# only; the development set-up (scripts/setup.sh, apt-get) is `make setup`,
# run by demo, the test targets and check, never by build or install.
BUILD ?= build
JOBS ?= 2
# Warnings are errors for developers and CI (make check turns it on), not in
# a user's build.
ORDAVI_WERROR ?= OFF
CMAKE_FLAGS = -DORDAVI_WERROR=$(ORDAVI_WERROR)

.PHONY: all setup build demo test test-asan test-tsan fuzz check clean \
	install deb check-install check-package check-offline format-check man-lint

all: build

setup:
	@bash scripts/setup.sh

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

# A short capture then playback of hd frames in a temporary directory on
# disk, ordavi-report's verdict on the playback, then a short capacity search
# with ordavi-streams. Each command is shown before it runs.
DEMO_BIN = $(abspath $(BUILD))
demo: setup build
	@dir=$$(mktemp -d /var/tmp/ordavi-demo.XXXXXX) && \
	  trap 'rm -rf "$$dir"' EXIT && cd "$$dir" && mkdir frames streams && \
	  run() { printf '\n$$ %s\n' "$$*"; "$(DEMO_BIN)/$$@"; } && \
	  run ordavi -w hd -n 100 frames && \
	  run ordavi --noinfo -n 100 -x playback.csv frames && \
	  run ordavi-report playback.csv && \
	  run ordavi-streams --size 1024 --rate 25 --duration 2 --max read --limit 4 streams

test: setup build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer,
# and under ThreadSanitizer: any report fails the run.
test-asan: setup
	cmake -S . -B build-asan -DORDAVI_SANITIZE=address -DORDAVI_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)

test-tsan: setup
	cmake -S . -B build-tsan -DORDAVI_SANITIZE=thread -DORDAVI_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build-tsan -j$(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j$(JOBS)

# Bounded libFuzzer runs (clang), FUZZ_SECONDS each: the command line, and
# ordavi-report's log reader and outputs and its baseline reader (an input
# slower than 10 s counts as a hang). A crash input is left in build-fuzz/; copy it into
# fuzz/regressions/ or fuzz/report_regressions/ so the unit tests replay it
# from then on.
FUZZ_SECONDS ?= 60
fuzz: setup
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DORDAVI_SANITIZE=fuzzer $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fuzz -j$(JOBS) --target fuzz_command_line fuzz_report fuzz_baseline
	mkdir -p build-fuzz/corpus build-fuzz/report_corpus build-fuzz/baseline_corpus
	./build-fuzz/fuzz_command_line -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 \
	  -artifact_prefix=build-fuzz/ build-fuzz/corpus fuzz/corpus
	./build-fuzz/tools/report/fuzz_report -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -max_len=16384 -dict=fuzz/report.dict -artifact_prefix=build-fuzz/report- \
	  build-fuzz/report_corpus fuzz/report_corpus
	./build-fuzz/tools/report/fuzz_baseline -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -artifact_prefix=build-fuzz/baseline- build-fuzz/baseline_corpus fuzz/baseline_corpus

# The checks before the build: formatting and the man pages.
FORMAT_DIRS = src tests fuzz bench tools
format-check:
	@files=$$(find $(FORMAT_DIRS) \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null | sort) && \
	  clang-format --dry-run -Werror $$files && \
	  echo "format-check: $$(echo "$$files" | wc -l) files formatted"

man-lint:
	@bash scripts/lint-man.sh

# The suites (warnings as errors). CI runs this, then check-offline,
# check-install and check-package.
check: ORDAVI_WERROR = ON
check: setup format-check man-lint test test-asan test-tsan fuzz

# make install PREFIX=/usr/local DESTDIR=/tmp/stage: the programs into
# $(DESTDIR)$(PREFIX)/bin, their man pages into share/man/man1 and the README
# into share/doc/ordavi. No package manager, no network.
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian packages ordavi_<version>_amd64.deb (and ordavi-mpi_... where
# ordavi-mpi is built), left in this directory.
deb: build
	rm -rf $(BUILD)/packages
	cd $(BUILD) && cpack -B packages
	rm -f ordavi_*.deb ordavi-mpi_*.deb
	cp $(BUILD)/packages/*.deb .

# make install staged below a temporary DESTDIR, checked file by file, with
# no package manager on the PATH.
check-install: build
	@bash scripts/check-install.sh $(BUILD)

# ordavi configured and built in build-offline/ with no network (unshare -n,
# root) and every optional package hidden, then run.
check-offline:
	@bash scripts/check-offline.sh build-offline

# Installs the package with apt-get, runs it and removes it again (root).
check-package: deb
	@bash scripts/check-package.sh

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-offline ordavi_*.deb ordavi-mpi_*.deb

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
