# Quick start: `make run` converts a sample BMP (or FILE=your.bmp); `make test` builds and runs
# every test.
BUILD ?= build
FILE ?= examples/sample8.bmp
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build run test clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/bmp2rle "$(FILE)"

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
