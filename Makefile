# Two entry points for a fresh Debian 12 machine: `make demo` and `make test`;
# `make dist` writes the release archives to dist/.
# All of them install what is missing first (scripts/install-deps.sh).
# BUILD lets several working copies or people share one machine.
BUILD ?= build
DIST ?= dist
JOBS ?= $(shell nproc)
VERSION := $(shell cat VERSION)
CMAKE_GEN := -G Ninja
# ccache shares compiled objects between rebuilds and between working copies
# (paths are taken relative to the working copy).
CMAKE_GEN += $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR := $(CURDIR)

# Every tessel-pack carries the i686 product stub (tools/CMakeLists.txt), so
# the build order is: the stub (win32), then the native tool (host), which
# packs the demo patcher tessel.exe of the Windows builds.
STUB := $(CURDIR)/$(BUILD)/win32/tessel-stub.exe
NATIVE_TOOL := $(CURDIR)/$(BUILD)/host/tessel-pack

.PHONY: all deps build stub host win64 win32 linux-static dist test test-host test-win64 test-win32 demo fuzz bench bar-shots alive-shots clean

all: build

deps:
	@scripts/install-deps.sh

# Each tree is (re)configured when it is new or the Makefile has changed.
$(BUILD)/host/configured: Makefile
	cmake -S . -B $(BUILD)/host $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTESSEL_STUB=$(STUB)
	touch $@
$(BUILD)/win64/configured: Makefile
	cmake -S . -B $(BUILD)/win64 $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=MinSizeRel \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-win64.cmake -DTESSEL_PACK=$(NATIVE_TOOL) -DTESSEL_STUB=$(STUB)
	touch $@
# The product is linked with link-time optimisation: across the layer, the
# core and the program it drops about 4 KiB from the downloaded stub.
$(BUILD)/win32/configured: Makefile
	cmake -S . -B $(BUILD)/win32 $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=MinSizeRel \
	  -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-win32.cmake -DTESSEL_PACK=$(NATIVE_TOOL)
	touch $@
# The Linux tool of the release: optimised, no sanitizers, linked statically.
$(BUILD)/linux-static/configured: Makefile
	cmake -S . -B $(BUILD)/linux-static $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=MinSizeRel \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTESSEL_SANITIZE=OFF -DTESSEL_TESTS=OFF \
	  -DCMAKE_EXE_LINKER_FLAGS="-static -s" -DTESSEL_STUB=$(STUB)
	touch $@

stub: deps $(BUILD)/win32/configured
	cmake --build $(BUILD)/win32 -j $(JOBS) --target tessel-stub
host: stub $(BUILD)/host/configured
	cmake --build $(BUILD)/host -j $(JOBS)
win64: host $(BUILD)/win64/configured
	cmake --build $(BUILD)/win64 -j $(JOBS)
win32: host $(BUILD)/win32/configured
	cmake --build $(BUILD)/win32 -j $(JOBS)
linux-static: stub $(BUILD)/linux-static/configured
	cmake --build $(BUILD)/linux-static -j $(JOBS) --target tessel-pack

build: host win64 win32

# dist/: the Windows zip, the Linux tar.gz and SHA256SUMS (scripts/make-dist.sh).
dist: win32 linux-static
	scripts/make-dist.sh $(BUILD) $(DIST) $(VERSION)

test-host: host
	ctest --test-dir $(BUILD)/host --output-on-failure -j $(JOBS)
test-win64: win64
	scripts/test-win64.sh $(BUILD)/win64
# The i686 product and test programs under 32-bit wine in an i386 root
# (scripts/i386-root; made under /var/cache/tessel on first use).
test-win32: win32
	scripts/test-win32.sh $(BUILD)/win32
test: build dist
	scripts/run-tests.sh $(BUILD) $(DIST) $(VERSION)

demo: build
	scripts/demo.sh $(BUILD)

fuzz: host
	scripts/fuzz.sh $(BUILD) 600

# The native Release bench, and the win64 build's (rebuilt with the tree) under wine64.
bench: win64
	cmake -S . -B $(BUILD)/bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTESSEL_SANITIZE=OFF -DTESSEL_TESTS=OFF
	cmake --build $(BUILD)/bench -j $(JOBS)
	scripts/bench.sh $(BUILD)

# Screenshots of the bar during a 300,000-record run from a slow disk
# (root: a throttled loop device); written to BUILD/bar-shots.
bar-shots: win64
	bench/bar-shots.sh $(BUILD) $(BUILD)/bar-shots

# A verified patcher on a 512 MiB file with its backup: the window's answers
# to probes and screenshots of the bar through identification and the copy;
# written to BUILD/alive-shots.
alive-shots: win64
	bench/alive-shots.sh $(BUILD) $(BUILD)/alive-shots

clean:
	rm -rf $(BUILD) $(DIST)
