# Quick start: `make run` builds the converter alone and converts a sample BMP (or FILE=your.bmp);
# `make test` builds and runs every test; `make test-sanitize` runs them again under
# AddressSanitizer and UBSan (in build-asan), then the conversion tests under ThreadSanitizer
# (`make test-threads`, in build-tsan); `make fuzz` builds the libFuzzer targets with clang
# (in build-fuzz, see fuzz/).
BUILD ?= build
FILE ?= examples/screen8.bmp
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build run test test-sanitize test-threads fuzz clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The converter says nothing on success; the output name is its default one (the extension, from
# the last '.' after the last '/', '\' or ':', replaced by _rle.bmp).
run:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target bmp2rle
	$(BUILD)/bin/bmp2rle "$(FILE)"
	@out="$$(printf '%s' "$(FILE)" | sed -E 's/\.[^./\\:]*$$//')_rle.bmp"; \
	echo "wrote $$out ($$(stat -c %s "$$out") bytes from $$(stat -c %s "$(FILE)"))"

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-sanitize:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DVDIB_SANITIZE=ON $(CMAKE_FLAGS)"
	$(MAKE) test-threads

# The encoders run bands of rows on every processor: the tests that read and convert pictures, in
# process and through the real binary, with ThreadSanitizer (tests/tsan.supp says what it is told
# to overlook, and why). Only their programs are built.
CONVERSION_TESTS = ^(RLE|BMPReader|BMPWriter|Converter|Corpus)\.
test-threads:
	cmake -S . -B build-tsan -DVDIB_SANITIZE_THREADS=ON $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS) --target bmp2rle vdibitmap_tests app_tests
	TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp $(TSAN_OPTIONS)" \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -R '$(CONVERSION_TESTS)'

fuzz:
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVDIB_FUZZ=ON -DVDIB_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)

clean:
	rm -rf $(BUILD)
