# Thin wrapper around CMake: the README's demo and test commands.
BUILD ?= build
JOBS ?= 2

.PHONY: all setup build demo test bench clean

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

clean:
	rm -rf $(BUILD)
