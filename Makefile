# QuorbelService: cross-built with mingw-w64 for 32- and 64-bit Windows, tested under Wine: the
# 64-bit build under the host's Wine 64, the 32-bit build in Debian roots (scripts/x86-roots.sh).
#   make demo   install what is missing, build, and show the service at work under Wine
#   make test   install what is missing, build both targets, run every test of both under Wine
#   make build  build both targets (artifacts in dist/x86 and dist/x64) and their packages
#   make dist   the same; the packages are dist/QuorbelService-<version>-x86.msi and -x64.msi
#   make bench  build, then print the benchmark's ratios of both builds side by side

BUILD      := build
PREFIX_DIR := $(CURDIR)/$(BUILD)/wineprefix
JOBS       ?= $(shell nproc)

.PHONY: all deps build dist test bench demo clean
all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/x64/build.ninja: | deps
	cmake -S . -B $(BUILD)/x64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-x86_64.cmake -DQUORBEL_WINEPREFIX=$(PREFIX_DIR)

$(BUILD)/x86/build.ninja: | deps
	cmake -S . -B $(BUILD)/x86 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake

build: deps $(BUILD)/x64/build.ninja $(BUILD)/x86/build.ninja
	cmake --build $(BUILD)/x86 -j $(JOBS)
	cmake --build $(BUILD)/x64 -j $(JOBS)

dist: build
	@ls -1 dist/*.msi

test: build
	@scripts/run-tests.sh $(BUILD)/x64 $(PREFIX_DIR) $(BUILD)/x86

bench: build
	@scripts/run-bench.sh --x86 $(BUILD)/x86 $(BUILD)/x64 $(CURDIR)/$(BUILD)/bench-prefix

demo: build
	@scripts/demo.sh $(BUILD)/x64 $(CURDIR)/$(BUILD)/demo-prefix

clean:
	rm -rf $(BUILD) dist
