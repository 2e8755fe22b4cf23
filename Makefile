# Quick start: `make run` builds the converter alone and converts a sample BMP (or FILE=your.bmp);
# `make test` builds and runs every test; `make test-sanitize` runs them again under
# AddressSanitizer and UBSan (in build-asan), then the conversion tests under ThreadSanitizer
# (`make test-threads`, in build-tsan); `make fuzz` builds the libFuzzer targets with clang
# (in build-fuzz, see fuzz/); `make windows` cross-builds for Windows with mingw-w64 (build-win,
# and build-win32 for 32-bit), `make test-windows` runs the tests of both under Wine and compares
# each converter with the one built here.
BUILD ?= build
FILE ?= examples/screen8.bmp
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

WINDOWS_BUILD ?= build-win
WINDOWS32_BUILD ?= build-win32

WEB_BUILD ?= build-web
# Debian's Emscripten finds its JavaScript optimiser's parser (node-acorn) only through NODE_PATH.
WEB_ENV = NODE_PATH=/usr/share/nodejs

.PHONY: all build run test test-sanitize test-threads fuzz windows test-windows web test-web clean

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

# The sanitizers' build converts with the plain row encoder on every processor, so that whole
# conversions run that path on processors with the wide one too (the default build takes the wide
# one there); the row encoder tests run both in either build.
test-sanitize:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DVDIB_SANITIZE=ON -DVDIB_WIDE_ENCODER=OFF $(CMAKE_FLAGS)"
	$(MAKE) test-threads

# The encoders run bands of rows on every processor: the tests that read and convert pictures, in
# process and through the real binary, with ThreadSanitizer, which is told to overlook nothing; the
# registries read while other threads start and end the library; and the package's tests, whose
# programs use the library from many threads of their own. Only their programs are built.
CONVERSION_TESTS = ^(RLE|BMPReader|BMPWriter|Converter|Corpus|LibraryScope|Package)\.
test-threads:
	cmake -S . -B build-tsan -DVDIB_SANITIZE_THREADS=ON $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS) --target bmp2rle vdibitmap_tests app_tests
	TSAN_OPTIONS="$(TSAN_OPTIONS)" ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -R '$(CONVERSION_TESTS)'

fuzz:
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVDIB_FUZZ=ON -DVDIB_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)

windows:
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	cmake -S . -B $(WINDOWS32_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake $(CMAKE_FLAGS)
	cmake --build $(WINDOWS32_BUILD) -j $(JOBS)

# The Windows tests under Wine, then the same conversions by the Windows converter and the one
# built here side by side; for the 64-bit build, then the 32-bit one. Wine now and then fails to
# start a program at all, so a test that fails is run once more; one that fails twice is a
# failure. 32-bit programs need Wine's i386 part (wine32) and a kernel that runs 32-bit code: where
# the 32-bit converter does not start, that is said and its tests are left out.
PARITY = $(BUILD)/bin/app_tests --gtest_filter='Parity.*'
test-windows: windows build
	ctest --test-dir $(WINDOWS_BUILD) --output-on-failure -j $(JOBS) --repeat until-pass:2
	VDIB_WINDOWS_BMP2RLE="$(CURDIR)/$(WINDOWS_BUILD)/bin/bmp2rle.exe" $(PARITY)
	@if cmake/wine-run $(WINDOWS32_BUILD)/bin/bmp2rle.exe >/dev/null 2>&1; then \
	  set -x; \
	  ctest --test-dir $(WINDOWS32_BUILD) --output-on-failure -j $(JOBS) --repeat until-pass:2 && \
	  VDIB_WINDOWS_BMP2RLE="$(CURDIR)/$(WINDOWS32_BUILD)/bin/bmp2rle.exe" $(PARITY); \
	else \
	  echo "*** 32-bit Windows programs do not run here (wine32 missing, or a kernel without 32-bit code):"; \
	  echo "*** $(WINDOWS32_BUILD) is built, its tests are not run"; \
	fi

# The converter in WebAssembly with Emscripten (emcmake; packages emscripten and node-acorn): the web
# page in build-web/ (index.html, page.js, reports.js, and the worker's bmp2rle.js and bmp2rle.wasm),
# the converter for Node, build-web/bmp2rle.cjs, and the colour reduction's table check for Node,
# build-web/reduction_check.cjs.
web:
	$(WEB_ENV) emcmake cmake -S . -B $(WEB_BUILD) -DVDIB_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
	  "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" $(CMAKE_FLAGS)
	$(WEB_ENV) cmake --build $(WEB_BUILD) -j $(JOBS)

# The Node converter against the native one (files, reports, exit codes), the colour reduction's
# golden hashes in WebAssembly, then the page in headless
# Chromium (tests/web, with Debian's chromium and npm's puppeteer-core as package-lock.json pins it).
test-web: web build
	VDIB_NODE_BMP2RLE="$(CURDIR)/$(WEB_BUILD)/bmp2rle.cjs" $(BUILD)/bin/app_tests --gtest_filter='Parity.*'
	[ -d node_modules/puppeteer-core ] || npm ci --no-audit --no-fund
	node "$(CURDIR)/$(WEB_BUILD)/reduction_check.cjs" tests/data/reduction.tsv
	node tests/web/PageTest.js "$(CURDIR)/$(WEB_BUILD)" "$(CURDIR)/$(BUILD)/bin/bmp2rle"

clean:
	rm -rf $(BUILD)
